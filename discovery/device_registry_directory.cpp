#include "valmor/discovery/device_registry_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "discovery/device_registry_internal.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace valmor {

using discovery_internal::DeviceChanges;
using discovery_internal::DeviceEventSource;

namespace {

constexpr std::string_view kCalloutPrefix = "cu.";
constexpr std::string_view kDialinPrefix = "tty.";

// Tells one file from another that later took its name: the entry itself
// (a new link, a new node) and the device it leads to.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  dev_t rdev = 0;
  bool operator==(const Identity&) const = default;
};

struct Entry {
  std::string name;  // NAME of cu.NAME
  Identity identity;
  DeviceHandle device;
};

std::string withoutTrailingSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string joinPath(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

// True when name in dirFd is a character device, or leads to one.
bool isCharDevice(int dirFd, const std::string& name, struct stat* target) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, 0) != 0 || !S_ISCHR(st.st_mode)) return false;
  if (target) *target = st;
  return true;
}

// The devices of dir now, sorted by NAME. Absent or unreadable: none.
std::vector<Entry> scanDirectory(const std::string& dir) {
  std::vector<Entry> entries;
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return entries;
  DIR* d = ::fdopendir(fd.get());
  if (d == nullptr) return entries;
  fd.release();  // Owned by d from here.
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, &::closedir);
  const int dirFd = ::dirfd(d);

  while (const dirent* ent = ::readdir(d)) {
    std::string_view fileName = ent->d_name;
    if (!fileName.starts_with(kCalloutPrefix) || fileName.size() == kCalloutPrefix.size()) continue;
    struct stat link {};
    struct stat target {};
    if (::fstatat(dirFd, ent->d_name, &link, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!isCharDevice(dirFd, ent->d_name, &target)) continue;

    std::string name(fileName.substr(kCalloutPrefix.size()));
    std::string callout = joinPath(dir, fileName);
    std::string dialinName = std::string(kDialinPrefix) + name;
    std::string dialin = isCharDevice(dirFd, dialinName, nullptr) ? joinPath(dir, dialinName) : callout;
    entries.push_back({name, Identity{link.st_dev, link.st_ino, target.st_rdev},
                       discovery_internal::makeSerialStreamDevice(std::move(callout),
                                                                  std::move(dialin), name)});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

// Watches the directory with inotify and reports what changed since the
// last look. While the directory is absent, the deepest existing ancestor is
// watched instead, so that its creation is noticed without polling.
class DirectoryEventSource : public DeviceEventSource {
 public:
  static std::unique_ptr<DirectoryEventSource> create(std::string dir) {
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
      logLine("Device registry: inotify_init1 failed: " + std::string(std::strerror(errno)));
      return nullptr;
    }
    auto source = std::unique_ptr<DirectoryEventSource>(
        new DirectoryEventSource(std::move(dir), std::move(fd)));
    // Watch first, then take the baseline: a change made in between is both
    // in the baseline and in a later event, and the rescan that event causes
    // finds nothing new, so nothing is lost or reported twice.
    source->armWatches();
    for (auto& e : scanDirectory(source->dir_)) source->known_.emplace(e.name, std::move(e));
    for (int pass = 0; pass < 8 && source->watchDevices(); ++pass) {
      source->known_.clear();
      source->vanished_.clear();
      for (auto& e : scanDirectory(source->dir_)) source->known_.emplace(e.name, std::move(e));
    }
    return source;
  }

  int fd() const override { return fd_.get(); }

  std::optional<DeviceChanges> readChanges() override {
    // Big enough for the longest event; a short buffer would give EINVAL.
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool rewatch = false;
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        logLine("Device registry: reading inotify events of " + dir_ +
                " failed: " + std::strerror(errno));
        return std::nullopt;
      }
      if (n == 0) break;
      for (const char* p = buffer; p < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        if (auto it = deviceWatches_.find(event->wd); it != deviceWatches_.end()) {
          // A device behind an entry went away (a pseudo-terminal closed
          // without its link being removed). Whatever takes its place later,
          // even under the same name and number, is another device.
          if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))
            vanished_.insert(it->second.begin(), it->second.end());
        } else if (dirWd_ >= 0 && event->wd == dirWd_) {
          // The directory was removed, moved (its watch would follow it to
          // the new name) or unmounted: look for it by its path again.
          rewatch |= (event->mask &
                      (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0;
        } else if (watched_.count(event->wd) != 0) {
          // An ancestor moved or went, or the missing part of the path was
          // created. Events of watches already dropped are ignored.
          rewatch = true;
        }
      }
    }
    if (rewatch) armWatches();
    // Events only say that something changed; the directory itself says
    // what it holds now. This also covers a queue overflow (IN_Q_OVERFLOW).
    DeviceChanges changes = compareWith(scanDirectory(dir_));
    // Bounded, in case devices keep coming and going; the next event resumes.
    for (int pass = 0; pass < 8 && watchDevices(); ++pass) addLater(changes, compareWith(scanDirectory(dir_)));
    return changes;
  }

 private:
  static constexpr uint32_t kDirMask =
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
      IN_ONLYDIR;
  // Ancestors are watched only for going away, which is rare and cheap, so
  // that a busy /tmp does not wake the watch.
  static constexpr uint32_t kAncestorMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  // The deepest existing ancestor of an absent directory also reports what
  // is created in it.
  static constexpr uint32_t kDeepestAncestorMask = kAncestorMask | IN_CREATE | IN_MOVED_TO;

  DirectoryEventSource(std::string dir, UniqueFd fd) : dir_(std::move(dir)), fd_(std::move(fd)) {}

  // dir_'s ancestors as written, outermost first ("/" or "."), then dir_.
  std::vector<std::string> pathChain() const {
    std::vector<std::string> chain{dir_};
    std::string path = dir_;
    for (;;) {
      const auto slash = path.find_last_of('/');
      if (slash == std::string::npos) {
        if (path != ".") chain.push_back(".");
        break;
      }
      if (slash == 0) {
        if (path != "/") chain.push_back("/");
        break;
      }
      path.resize(slash);
      chain.push_back(path);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
  }

  // Watches dir_ and every existing ancestor, or, while dir_ is absent, the
  // ancestors down to the deepest existing one, which also reports
  // creations. A watch follows an inode, not a path, so an ancestor that is
  // renamed must be noticed too: dir_'s path then leads elsewhere.
  //
  // Loops because a directory may be created between the look and the
  // watch: after each pass it looks again, so nothing made before a watch
  // took effect goes unseen. Bounded, in case the tree keeps changing; the
  // next event resumes.
  void armWatches() {
    const auto chain = pathChain();
    for (int attempt = 0; attempt < 32; ++attempt) {
      std::set<int> wanted;
      int dirWd = -1;
      int deepestWd = -1;
      size_t next = 0;  // the first part of the chain that does not exist
      for (; next < chain.size(); ++next) {
        const bool isDir = next + 1 == chain.size();
        const int wd = ::inotify_add_watch(fd_.get(), chain[next].c_str(),
                                           isDir ? kDirMask : kAncestorMask);
        if (wd < 0) {
          // An ancestor that may be passed through but not read cannot be
          // watched; the parts below it still can.
          if (errno == EACCES && !isDir) continue;
          break;
        }
        wanted.insert(wd);
        if (isDir) dirWd = wd;
        deepestWd = wd;
      }
      if (dirWd < 0 && deepestWd >= 0) {
        // Same inode, same watch descriptor: this only widens its mask.
        ::inotify_add_watch(fd_.get(), chain[next - 1].c_str(), kDeepestAncestorMask);
      }
      for (int wd : watched_) {
        if (wanted.count(wd) == 0) ::inotify_rm_watch(fd_.get(), wd);
      }
      watched_ = std::move(wanted);
      dirWd_ = dirWd;
      if (dirWd >= 0) return;
      if (watched_.empty() && !warnedUnwatchable_) {
        logLine("Device registry: nothing can be watched for " + dir_);
        warnedUnwatchable_ = true;
      }
      struct stat st {};
      const bool appeared = next < chain.size() && ::stat(chain[next].c_str(), &st) == 0 &&
                            S_ISDIR(st.st_mode);
      if (!appeared) return;
    }
  }

  // Watches the device file behind every known entry (following links), so
  // that its removal is noticed at once, without waiting for a change in the
  // directory. Watches of devices no longer known are dropped. True when the
  // directory must be looked at again: a device went, or a missing one came,
  // between the look and the watch, where no event would tell.
  bool watchDevices() {
    bool lookAgain = false;
    std::map<std::string, int, std::less<>> watchedBefore;
    for (const auto& [wd, names] : deviceWatches_)
      for (const auto& name : names) watchedBefore[name] = wd;
    std::map<int, std::set<std::string>> wanted;
    for (const auto& [name, e] : known_) {
      const std::string path = joinPath(dir_, std::string(kCalloutPrefix) + name);
      const int wd = ::inotify_add_watch(fd_.get(), path.c_str(), IN_DELETE_SELF | IN_MOVE_SELF);
      const auto before = watchedBefore.find(name);
      if (wd < 0) {
        if (errno == ENOENT) {
          vanished_.insert(name);
          lookAgain = true;
        }
        continue;
      }
      wanted[wd].insert(name);
      // A watch follows one file: another watch for the same entry means
      // another device file behind it, even under the same name and number
      // (the old one's removal event may still be on its way).
      if (before != watchedBefore.end() && before->second != wd) {
        vanished_.insert(name);
        lookAgain = true;
      }
    }
    // A link that leads nowhere now may lead to a device later (a
    // pseudo-terminal opened under the number it names): the directory its
    // target would appear in is watched for creations. An entry that was no
    // device at the look but is one now came in between: look again.
    std::set<int> wantedDirs;
    for (const auto& [name, target] : entriesOtherThanKnown()) {
      struct stat st {};
      if (::stat(target.c_str(), &st) == 0) {
        lookAgain |= S_ISCHR(st.st_mode);
        continue;  // leads somewhere already
      }
      const auto slash = target.find_last_of('/');
      if (slash == std::string::npos) continue;
      const std::string parent = slash == 0 ? "/" : target.substr(0, slash);
      // Added to whatever mask the directory is watched with already.
      const int wd = ::inotify_add_watch(fd_.get(), parent.c_str(), IN_CREATE | IN_MOVED_TO | IN_MASK_ADD);
      if (wd >= 0) wantedDirs.insert(wd);
      if (isCharDevice(AT_FDCWD, target, nullptr)) lookAgain = true;
    }
    for (const auto& [wd, names] : deviceWatches_) {
      if (wanted.count(wd) == 0 && watched_.count(wd) == 0 && wantedDirs.count(wd) == 0)
        ::inotify_rm_watch(fd_.get(), wd);
    }
    for (int wd : targetDirWatches_) {
      if (wantedDirs.count(wd) == 0 && watched_.count(wd) == 0 && wanted.count(wd) == 0)
        ::inotify_rm_watch(fd_.get(), wd);
    }
    deviceWatches_ = std::move(wanted);
    targetDirWatches_ = std::move(wantedDirs);
    return lookAgain;
  }

  // The entries cu.NAME that are not known devices, each with the path it
  // leads to: the link's target as written (made absolute), or the entry
  // itself when it is no link.
  std::vector<std::pair<std::string, std::string>> entriesOtherThanKnown() const {
    std::vector<std::pair<std::string, std::string>> entries;
    UniqueFd fd(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return entries;
    DIR* d = ::fdopendir(fd.get());
    if (d == nullptr) return entries;
    fd.release();
    std::unique_ptr<DIR, int (*)(DIR*)> closer(d, &::closedir);
    while (const dirent* ent = ::readdir(d)) {
      const std::string_view fileName = ent->d_name;
      if (!fileName.starts_with(kCalloutPrefix) || fileName.size() == kCalloutPrefix.size()) continue;
      std::string name(fileName.substr(kCalloutPrefix.size()));
      if (known_.count(name) != 0) continue;
      std::string path = joinPath(dir_, fileName);
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(::dirfd(d), ent->d_name, target, sizeof target - 1);
      if (n > 0) {
        path.assign(target, static_cast<std::size_t>(n));
        if (path.front() != '/') path = joinPath(dir_, path);
      }
      entries.emplace_back(std::move(name), std::move(path));
    }
    return entries;
  }

  // Adds the changes of a later look to those of a batch, so that each
  // device keeps its order: the batch delivers every terminated device
  // before every published one, so a device published by an earlier look and
  // terminated by this one is left out of both (it came and went unseen),
  // rather than reported gone and then present.
  static void addLater(DeviceChanges& batch, const DeviceChanges& later) {
    for (const auto& device : later.terminated) {
      const auto it = std::find(batch.published.begin(), batch.published.end(), device);
      if (it != batch.published.end()) {
        batch.published.erase(it);
      } else {
        batch.terminated.push_back(device);
      }
    }
    batch.published.insert(batch.published.end(), later.published.begin(), later.published.end());
  }

  // The changes from what was known to now; now becomes what is known.
  DeviceChanges compareWith(std::vector<Entry> now) {
    DeviceChanges changes;
    std::map<std::string, Entry, std::less<>> next;
    for (auto& e : now) next.emplace(e.name, std::move(e));
    const std::set<std::string> vanished = std::move(vanished_);
    vanished_.clear();
    for (auto& [name, old] : known_) {
      auto it = next.find(name);
      if (it == next.end() || !(it->second.identity == old.identity) || vanished.count(name) != 0) {
        changes.terminated.push_back(old.device);
      } else {
        // Unchanged: keep the handle first published, not the new reading.
        it->second.device = old.device;
      }
    }
    for (auto& [name, e] : next) {
      auto it = known_.find(name);
      if (it == known_.end() || !(it->second.identity == e.identity) || vanished.count(name) != 0) {
        changes.published.push_back(e.device);
        // A new device: whatever watch the old one had says nothing of it.
        for (auto& [wd, names] : deviceWatches_) names.erase(name);
      }
    }
    known_ = std::move(next);
    return changes;
  }

  std::string dir_;
  UniqueFd fd_;
  int dirWd_ = -1;
  std::set<int> watched_;  // every watch of the directory and its ancestors, dirWd_ among them
  std::map<int, std::set<std::string>> deviceWatches_;  // watch -> NAMEs of the entries leading there
  std::set<int> targetDirWatches_;  // directories where targets of dangling links would appear
  std::set<std::string> vanished_;  // NAMEs whose device went away since the last look
  bool warnedUnwatchable_ = false;
  std::map<std::string, Entry, std::less<>> known_;
};

}  // namespace

DirectoryDeviceRegistry::DirectoryDeviceRegistry(std::string dir)
    : dir_(withoutTrailingSlashes(std::move(dir))) {}

std::error_code DirectoryDeviceRegistry::directoryError() const {
  const UniqueFd fd(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) return {};
  return std::error_code(errno, std::generic_category());
}

DeviceIterator DirectoryDeviceRegistry::serialStreamDevices() {
  std::vector<DeviceHandle> devices;
  for (auto& e : scanDirectory(dir_)) devices.push_back(std::move(e.device));
  return DeviceIterator(std::move(devices));
}

std::unique_ptr<DeviceSubscription> DirectoryDeviceRegistry::subscribe(Callback published,
                                                                       Callback terminated) {
  auto source = DirectoryEventSource::create(dir_);
  if (!source) return nullptr;
  return discovery_internal::watchDeviceEvents(std::move(source), std::move(published),
                                               std::move(terminated));
}

}  // namespace valmor
