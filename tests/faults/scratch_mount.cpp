// A small tmpfs mounted for one test, read-only or filled to the last byte; unmounted after.
#include "scratch_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

ScratchMount::ScratchMount(Kind kind) : dir_("palvex-scratch") {
  // Permissions do not stop root, so a read-only file system and a full one stand in for them.
  const unsigned long flags = kind == read_only ? MS_RDONLY : 0;
  if (mount("tmpfs", dir_.path().c_str(), "tmpfs", flags, "size=64k,mode=0755") != 0) {
    error_ = std::string("mount: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
  if (kind != full) return;
  const std::string filler = dir_.file("filler");
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::vector<char> block(4096, 'x');
  while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
  }
  while (fd >= 0 && write(fd, block.data(), 1) > 0) {  // the last bytes of a partial block
  }
  if (fd >= 0) close(fd);
}

ScratchMount::~ScratchMount() {
  if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
}
