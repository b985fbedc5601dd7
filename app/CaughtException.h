#pragma once
#include <QString>

namespace vantiro {

// What escaped an operation, in words for a box title and a log line. The vision library's
// errors keep their own title ("OpenCV exception") and message; memory exhaustion, other
// standard exceptions and anything else get titles of their own.
struct CaughtException
{
    QString title;
    QString message;
};

// Call only inside a catch block: describes the exception being handled.
CaughtException describeCurrentException();

} // namespace vantiro
