// The disks a Linux system presents, read from sysfs.
#pragma once

#include <string>
#include <vector>

#include "platform/storage.h"

namespace sysfs {

// The disks under <sys_root>/block that sit on hardware (a loop, RAM or device-mapper disk has
// none), CD and DVD drives left out: each SCSI disk as /dev/<name> with its sg node, any other
// disk (NVMe, virtio, MMC) with why no pass-through reaches it. In the kernel's naming order
// (sdb before sdaa). False, with the last error set, when <sys_root>/block cannot be read.
bool list_disks(const std::string& sys_root, std::vector<PresentedDrive>& drives);

}  // namespace sysfs
