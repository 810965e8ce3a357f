// LivePorts: the process-wide registry of live ports, which makes a device
// path map to at most one SerialPort object at a time. Entries are weak: the
// registry never keeps a port alive. A port enters when it is made and
// leaves when it is destroyed.
//
// Threading: every member may be called from any thread. The registry's lock
// is never held while a port is destroyed: a lookup that finds a port whose
// last reference is being dropped elsewhere treats it as gone.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace valmor {

class SerialPort;

class LivePorts {
 public:
  // The registry of this process. Never destroyed: ports may be destroyed
  // while static destructors run.
  static LivePorts& shared();

  // The live port with this path, or none.
  std::shared_ptr<SerialPort> find(std::string_view path);

  // The live port with this path; if there is none, the port make() gives,
  // entered under that path. Lookup and entry are one step, so two threads
  // asking for the same path get the same port.
  std::shared_ptr<SerialPort> findOrAdd(std::string_view path,
                                        const std::function<std::shared_ptr<SerialPort>()>& make);

  // Called by a port's destructor.
  void remove(const SerialPort* port);

 private:
  struct Entry {
    const SerialPort* port;
    std::string path;
    std::weak_ptr<SerialPort> weak;
  };
  std::shared_ptr<SerialPort> findLocked(std::string_view path);

  std::mutex mutex_;
  std::vector<Entry> entries_;  // Guarded by mutex_.
};

}  // namespace valmor
