// The policy file reader: any bytes in the file give a document, never an exception, and every
// problem and warning is one line (they go to the log and to `status` as they are).
#include <unistd.h>

#include <cstdio>

#include "fuzz/FuzzSupport.h"
#include "linuxhost/policy/PolicyDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/datasync-fuzz-policy-" + std::to_string(::getpid()) + ".json";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;

    const auto document = ZEL::linuxhost::policy::ReadPolicyDocument(path);
    bool unusable = false;
    for (const auto& problem : document.problems) {
        fuzz::Check(fuzz::OneLine(problem.text), "a policy problem is one line", problem.text);
        unusable = unusable || problem.kind == ZEL::linuxhost::policy::PolicyProblem::Kind::Unusable;
    }
    for (const std::string& warning : document.warnings)
        fuzz::Check(fuzz::OneLine(warning), "a policy warning is one line", warning);
    fuzz::Check(document.usable == !unusable, "usable exactly when no problem makes it unusable");
    return 0;
}
