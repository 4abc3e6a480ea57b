#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "config/settings.h"

namespace ombrix::test {

// A real OpenSSH server on 127.0.0.1 and a free port, with its own host key, configuration and
// one authorised client key, all in folder; it lets the current user in with that key. The
// server runs between Start() and Stop() (or the end of the object) and can be started again on
// the same port.
class SshServer {
 public:
  // Makes the keys and the configuration.
  explicit SshServer(const std::filesystem::path& folder);
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  // Starts the server and waits until it takes connections; false when it does not (or the keys
  // could not be made).
  bool Start();
  void Stop();

  int port() const { return port_; }
  // A known hosts file that holds the server's host key.
  std::string knownHosts() const { return (folder_ / "known_hosts").string(); }
  // Sets the upload settings for delivery into remoteFolder through this server with its key.
  void Configure(Settings& settings, const std::string& remoteFolder) const;

 private:
  std::filesystem::path folder_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace ombrix::test
