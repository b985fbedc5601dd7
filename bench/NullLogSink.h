#pragma once
// A log that drops everything: the benchmarks time the routines, not their log.

#include "app/LogSink.h"

class NullLogSink : public vantiro::LogSink
{
public:
    void append(const QString&, const QString& = QString(), bool = false) override {}
};
