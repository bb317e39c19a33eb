#include "platform/linux/mounts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace mounts {
namespace {

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// mountinfo writes a blank, a tab, a newline and a backslash in a path as octal escapes.
std::string unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits(field.substr(i + 1, 3));
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// The disk's own folder in sysfs for the device `dev`, or empty.
fs::path disk_folder(const std::string& sys, bool block, const std::string& dev) {
  std::error_code ec;
  const fs::path base = fs::path(sys) / "dev" / (block ? "block" : "char") / dev;
  if (block) {
    fs::path p = fs::canonical(base, ec);
    if (ec) return {};
    // A partition's folder sits inside its disk's.
    if (fs::exists(p / "partition", ec)) p = p.parent_path();
    return p;
  }
  // An sg node: its SCSI device's block folder names the disk.
  for (const auto& entry : fs::directory_iterator(base / "device" / "block", ec))
    return fs::canonical(entry.path(), ec);
  return {};
}

}  // namespace

std::vector<std::string> disk_devices(const std::string& sys, bool block, unsigned major,
                                      unsigned minor) {
  const fs::path disk =
      disk_folder(sys, block, std::to_string(major) + ":" + std::to_string(minor));
  std::vector<std::string> devices;
  std::error_code ec;
  if (disk.empty() || !fs::exists(disk / "dev", ec)) return devices;
  std::vector<fs::path> folders = {disk};
  for (const auto& entry : fs::directory_iterator(disk, ec))
    if (fs::exists(entry.path() / "partition", ec) && fs::exists(entry.path() / "dev", ec))
      folders.push_back(entry.path());
  // The devices built on the disk or a partition (device-mapper, LVM, md RAID), and those built
  // on them in turn, carry file systems that live on the disk too.
  for (size_t i = 0; i < folders.size(); ++i) {
    devices.push_back(first_line(folders[i] / "dev"));
    for (const auto& holder : fs::directory_iterator(folders[i] / "holders", ec)) {
      const fs::path folder = fs::canonical(holder.path(), ec);
      if (ec || !fs::exists(folder / "dev", ec)) continue;
      if (std::find(folders.begin(), folders.end(), folder) == folders.end())
        folders.push_back(folder);
    }
  }
  return devices;
}

std::vector<std::string> mounted_from(std::string_view mountinfo,
                                      const std::vector<std::string>& devices) {
  std::vector<std::string> found;
  std::istringstream lines{std::string(mountinfo)};
  std::string line;
  while (std::getline(lines, line)) {
    // Mount id, parent id, major:minor, root, mount point, ...
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    if (!(fields >> id >> parent >> dev >> root >> point)) continue;
    if (std::find(devices.begin(), devices.end(), dev) == devices.end()) continue;
    std::string name = unescape(point);
    if (name == "/") name = "/ (the root file system)";
    if (std::find(found.begin(), found.end(), name) == found.end()) found.push_back(name);
  }
  return found;
}

}  // namespace mounts
