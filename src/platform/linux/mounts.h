// Which mounted file systems live on a disk: the device numbers of the disk, its partitions and
// what is built on them from sysfs, matched against /proc/self/mountinfo. Pure over a tree and a text, so a made-up sysfs
// and mount table can stand in for the machine's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mounts {

// The device numbers ("major:minor") of the disk that the block or character device `dev`
// belongs to (a partition's disk, an sg node's disk), of each of the disk's partitions and of
// every device built on them (their holders, and the holders' holders), read from the sysfs
// tree at `sys` ("/sys"). Empty when the tree does not say.
std::vector<std::string> disk_devices(const std::string& sys, bool block, unsigned major,
                                      unsigned minor);

// The mount points in `mountinfo` whose device is one of `devices`, each once, in the order of
// the table; the root file system as "/ (the root file system)".
std::vector<std::string> mounted_from(std::string_view mountinfo,
                                      const std::vector<std::string>& devices);

}  // namespace mounts
