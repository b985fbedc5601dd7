// Project files, YAML or JSON: the input decides which.
#include "app/ProjectFile.h"
#include "fuzz/FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ProjectReadResult r = readProjectFile(fuzz::writeInput(data, size, QStringLiteral(".project.yml")));
    if (r.status == ProjectReadResult::Status::Ok && (r.world < 0 || r.world >= int(r.objects.size())))
        std::abort();
    if (r.status != ProjectReadResult::Status::Ok && r.message.isEmpty())
        std::abort();
    return 0;
}
