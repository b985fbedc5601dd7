#pragma once
// What the harnesses share: inputs handed to the readers as files, as users hand them.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzz {

// A file of this process holding data, under a name ending in suffix; the same path on every call.
QString writeInput(const uint8_t* data, size_t size, const QString& suffix);

// A folder of this process, created on the first call.
QString scratchFolder();

} // namespace fuzz
