// The host config reader: any text gives problems or a config, never an exception; every
// problem is one line naming the file; a config without problems has folders ending in '/'.
#include "datasyncd/HostConfig.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    datasyncd::HostConfig config = datasyncd::DefaultHostConfig();
    std::vector<datasyncd::ConfigProblem> problems;
    const bool ok = datasyncd::ApplyHostConfigText(fuzz::Text(data, size), "host.json", "/etc/datasync", config, problems);
    fuzz::Check(ok == problems.empty(), "true exactly when there is no problem");
    for (const datasyncd::ConfigProblem& problem : problems) {
        fuzz::Check(fuzz::OneLine(problem.text), "a config problem is one line", problem.text);
        fuzz::Check(problem.text.rfind("host.json: ", 0) == 0, "a config problem names the file", problem.text);
    }
    if (!ok) return 0;
    const auto& f = config.folders;
    for (const std::string* folder : {&f.service_db_dir, &f.shared_db_dir, &f.local_db_dir, &f.log_dir, &f.state_dir})
        fuzz::Check(!folder->empty() && folder->back() == '/', "a folder ends with '/'", *folder);
    return 0;
}
