// The disks of a Linux system, from sysfs: the block devices, their SCSI midlayer devices and
// the sg nodes the midlayer gave them. Only names are read; no device is opened here.
#include "platform/linux/linux_drive_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/sg_translate.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

// The names in a folder, none when it does not exist.
std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

bool present(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The kernel names disks sda ... sdz, sdaa ...: the shorter name comes first.
bool kernel_order(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Why a disk that the SCSI disk driver does not hold gets no pass-through from the tool.
std::string not_scsi_reason(const std::string& name) {
  if (name.rfind("nvme", 0) == 0) return "an NVMe drive, which no SCSI or ATA pass-through reaches";
  return "not a SCSI disk, so no SCSI or ATA pass-through reaches it";
}

}  // namespace

namespace sysfs {

bool list_disks(const std::string& sys_root, std::vector<PresentedDrive>& drives) {
  const fs::path block = fs::path(sys_root) / "block";
  std::error_code ec;
  fs::directory_iterator probe(block, ec);
  if (ec) {
    platform_set_last_error(sg::windows_error_from_errno(ec.value()));
    return false;
  }
  std::vector<std::string> names = entries(block);
  std::sort(names.begin(), names.end(), kernel_order);
  for (const std::string& name : names) {
    const fs::path device = block / name / "device";
    if (!present(device)) continue;  // no hardware beneath it
    const bool scsi_disk = present(device / "scsi_disk");
    // SCSI peripheral type 5: a CD or DVD drive, which the disk driver does not take.
    if (!scsi_disk && present(device / "scsi_device") && first_line(device / "type") == "5")
      continue;
    PresentedDrive d;
    d.path = utf8_to_utf16("/dev/" + name);
    if (scsi_disk) {
      std::vector<std::string> sg = entries(device / "scsi_generic");
      std::sort(sg.begin(), sg.end(), kernel_order);
      if (!sg.empty()) d.other_node = utf8_to_utf16("/dev/" + sg.front());
    } else {
      d.unusable = not_scsi_reason(name);
    }
    drives.push_back(std::move(d));
  }
  return true;
}

}  // namespace sysfs

bool platform_list_drives(std::vector<PresentedDrive>& drives) {
  return sysfs::list_disks("/sys", drives);
}
