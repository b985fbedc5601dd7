#pragma once
#include <QString>
#include <QStringList>

namespace TNQ {

// Orders strings so that embedded runs of digits compare by value: "2.png" before "10.png",
// "set_9" before "set_10". Everything else compares character by character. Written out rather
// than left to the collator, whose numeric mode does nothing under the C locale that servers and
// CI machines run with. A total order: "01" and "1" compare equal by value and then by text.
int naturalCompare(const QString& a, const QString& b);

// Sorts in place by naturalCompare (stable).
void naturalSort(QStringList& strings);

} // namespace TNQ
