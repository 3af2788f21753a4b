#include "platform/DirWatch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <unordered_set>

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

uint32_t MaskOf(uint32_t filter) {
  uint32_t mask = 0;
  if (filter & kWatchNames) mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (filter & kWatchAttributes) mask |= IN_ATTRIB;
  if (filter & kWatchWrites) mask |= IN_CLOSE_WRITE;
  return mask;
}

}  // namespace

DirWatch::~DirWatch() {
  Close();
}

bool DirWatch::Open(const std::string& path, bool subtree, uint32_t filter) {
  Close();
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  subtree_ = subtree;
  root_ = ExcludeTrailingSlashes(path);
  filterMask_ = MaskOf(filter);
  // A subtree watch also needs to see folders arrive and leave to keep its watch set current.
  watchMask_ = filterMask_ | (subtree ? (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM) : 0u);
  rootWd_ = AddFolder(root_, true);
  if (rootWd_ < 0) {
    Close();
    return false;
  }
  if (subtree_) AddTree(root_);
  return true;
}

void DirWatch::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  rootWd_ = -1;
  paths_.clear();
}

int DirWatch::AddFolder(const std::string& path, bool root) {
  // The root may be reached through a link; folders below it are never followed through one.
  const uint32_t flags = IN_ONLYDIR | (root ? 0u : static_cast<uint32_t>(IN_DONT_FOLLOW));
  const int wd = inotify_add_watch(fd_, path.c_str(), watchMask_ | flags);
  if (wd >= 0) paths_[wd] = path;
  return wd;
}

void DirWatch::AddTree(const std::string& path) {
  // Iterative, so that a deeply nested tree cannot exhaust the stack.
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    if (folder != root_ && AddFolder(folder, false) < 0) continue;
    for (const DirEntry& e : ListDirectory(folder)) {
      if (e.isDir && !e.isSymlink) pending.push_back(JoinPath(folder, e.name));
    }
  }
}

void DirWatch::Resync() {
  // Re-adding a watched folder returns its existing watch and records its current path; the
  // watches of folders no longer in the tree are removed.
  std::unordered_map<int, std::string> old;
  old.swap(paths_);
  rootWd_ = AddFolder(root_, true);
  if (rootWd_ >= 0) AddTree(root_);
  for (const auto& [wd, path] : old) {
    if (paths_.find(wd) == paths_.end()) inotify_rm_watch(fd_, wd);
  }
}

bool DirWatch::ReadChanges() {
  if (fd_ < 0) return false;
  bool changed = false;
  bool resync = false;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        changed = true;
        resync = true;
        continue;
      }
      if (ev->mask & IN_IGNORED) {
        paths_.erase(ev->wd);
        continue;
      }
      if (ev->mask & filterMask_) changed = true;
      if (!subtree_ || !(ev->mask & IN_ISDIR) || ev->len == 0) continue;
      if (ev->mask & (IN_CREATE | IN_MOVED_TO)) {
        const auto it = paths_.find(ev->wd);
        if (it != paths_.end()) AddTree(JoinPath(it->second, ev->name));
      }
      // A folder moved away (or within the tree) leaves stale paths behind.
      if (ev->mask & IN_MOVED_FROM) resync = true;
    }
  }
  if (resync && subtree_) Resync();
  return changed;
}

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeEvent::Signal() {
  const uint64_t one = 1;
  if (fd_ >= 0) {
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

ChangeWait ChangeWaiter::Wait(const std::vector<DirWatch*>& watches, const WakeEvent& wake,
                              std::vector<size_t>& ready) {
  ready.clear();
  if (wake.fd_ < 0) return ChangeWait::Failed;
  std::vector<pollfd> fds;
  std::vector<size_t> index;
  fds.push_back(pollfd{wake.fd_, POLLIN, 0});
  for (size_t i = 0; i < watches.size(); ++i) {
    if (watches[i] == nullptr || !watches[i]->IsOpen()) continue;
    fds.push_back(pollfd{watches[i]->fd_, POLLIN, 0});
    index.push_back(i);
  }
  for (;;) {
    const int rc = ::poll(fds.data(), fds.size(), -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return ChangeWait::Failed;
    break;
  }
  if (fds[0].revents & POLLIN) return ChangeWait::Woken;
  for (size_t k = 0; k < fds.size(); ++k) {
    if (fds[k].revents & (POLLERR | POLLNVAL)) return ChangeWait::Failed;
  }
  for (size_t k = 1; k < fds.size(); ++k) {
    if (fds[k].revents & POLLIN) ready.push_back(index[k - 1]);
  }
  return ChangeWait::Changed;
}

}  // namespace orbitrace
