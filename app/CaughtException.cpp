#include "app/CaughtException.h"

#include <opencv2/core.hpp>

#include <exception>
#include <new>

namespace vantiro {

CaughtException describeCurrentException()
{
    try {
        throw;
    } catch (const cv::Exception& e) {
        return {QStringLiteral("OpenCV exception"), QString::fromStdString(e.what()).trimmed()};
    } catch (const std::bad_alloc&) {
        return {QStringLiteral("Out of memory"), QStringLiteral("Not enough memory to complete the operation")};
    } catch (const std::exception& e) {
        return {QStringLiteral("Error"), QStringLiteral("Unexpected error: %1").arg(QString::fromLocal8Bit(e.what()))};
    } catch (...) {
        return {QStringLiteral("Error"), QStringLiteral("Unexpected error of unknown type")};
    }
}

} // namespace vantiro
