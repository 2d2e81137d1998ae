#include "clients/Process.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace Lumenbox::clients {

ProcessSample sampleProcess(long pid) {
    const std::string dir = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid));
    ProcessSample sample;
    std::ifstream status(dir + "/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") status >> sample.threads;
        else if (key == "VmRSS:") status >> sample.rssKb;
        status.ignore(1 << 16, '\n');
    }
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++sample.descriptors;
    }
    if (pid == 0) --sample.descriptors;  // the one the listing itself holds open
    std::ifstream stat(dir + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the parenthesised command name: the state is the first field, utime the 12th, stime the 13th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int index = 1; index <= 13 && fields >> field; ++index) {
        if (index >= 12) sample.cpuSeconds += std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return sample;
}

void raiseDescriptorLimit(std::uint64_t cap) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max < cap ? limit.rlim_max : static_cast<rlim_t>(cap);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace Lumenbox::clients
