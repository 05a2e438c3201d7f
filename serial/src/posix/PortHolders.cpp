// Another program holding a port open: found through /proc.
#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <system_error>

#include "serial/posix/PosixPlatform.h"

std::optional<PortHolder> FindPortHolder(const std::filesystem::path& proc, dev_t device,
                                         dev_t filesystem, int selfPid) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string pidText = it->path().filename().string();
    int pid = 0;
    const auto [tail, parsed] =
        std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (parsed != std::errc() || tail != pidText.data() + pidText.size() || pid == selfPid)
      continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      struct stat st {};
      if (::stat(fd->path().c_str(), &st) != 0) continue;
      if (!S_ISCHR(st.st_mode) || st.st_rdev != device || st.st_dev != filesystem) continue;
      PortHolder holder;
      holder.pid = pid;
      std::ifstream comm(it->path() / "comm");
      std::getline(comm, holder.command);
      if (holder.command.empty()) holder.command = "unknown program";
      return holder;
    }
  }
  return std::nullopt;
}
