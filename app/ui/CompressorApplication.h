#pragma once
#include <QEvent>
#include <QMetaMethod>
#include <QList>

#include <private/qmetaobject_p.h>
#include <private/qobject_p.h>
#include <private/qthread_p.h>

// An application class that can merge queued deliveries of chosen signals: a newer queued
// call replaces an older one still waiting for the same receiver and slot, keeping the older
// one's place in the queue. The application registers no signal, so nothing is merged unless
// a caller fills compressedSignals.
template <class Base>
class CompressorApplication : public Base
{
public:
    CompressorApplication(int& argc, char** argv) : Base(argc, argv) {}

    QList<QMetaMethod> compressedSignals;

protected:
    bool compressEvent(QEvent* event, QObject* receiver, QPostEventList* postedEvents) override
    {
        if (event->type() != QEvent::MetaCall)
            return Base::compressEvent(event, receiver, postedEvents);

        const auto* call = static_cast<QMetaCallEvent*>(event);
        // The event carries the signal's index among signals, not its method index.
        if (!call->sender() ||
            !compressedSignals.contains(QMetaObjectPrivate::signal(call->sender()->metaObject(), call->signalId())))
            return false;

        for (QPostEvent& posted : *postedEvents) {
            if (posted.receiver != receiver || !posted.event || posted.event->type() != QEvent::MetaCall)
                continue;
            const auto* queued = static_cast<QMetaCallEvent*>(posted.event);
            if (queued->sender() != call->sender() || queued->signalId() != call->signalId() ||
                queued->id() != call->id())
                continue;
            clearPostedFlag(posted.event);
            delete posted.event;
            posted.event = event;
            return true;
        }
        return false;
    }

private:
    // QEvent keeps its "posted" flag in the word after the type; deleting an event that still
    // claims to be posted makes Qt search the queue for it.
    static void clearPostedFlag(QEvent* e)
    {
        auto* flags = reinterpret_cast<quint16*>(reinterpret_cast<char*>(e) + sizeof(void*) + sizeof(quint16));
        *flags &= 0x7ffe;
    }
};
