#include "support/ssh_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "outbox/child_process.h"

extern char** environ;

namespace ombrix::test {
namespace {

std::string UserName() {
  const passwd* user = getpwuid(geteuid());
  return user != nullptr ? user->pw_name : "root";
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A port free on 127.0.0.1 now (the system's choice), or 0.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = Loopback(port);
  const bool connected =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

bool MakeKey(const std::filesystem::path& path) {
  const ChildResult made =
      ChildProcess::Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path.string()}, {},
                        std::chrono::seconds(20));
  return made.exitCode == 0;
}

}  // namespace

SshServer::SshServer(const std::filesystem::path& folder) : folder_(folder), port_(FreePort()) {
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  std::filesystem::create_directories("/run/sshd", error);  // sshd's privilege separation folder
  if (port_ == 0 || !MakeKey(folder_ / "host_key") || !MakeKey(folder_ / "client_key")) {
    return;
  }
  std::ofstream(folder_ / "authorized_keys") << std::ifstream(folder_ / "client_key.pub").rdbuf();
  std::ofstream(folder_ / "known_hosts")
      << "[127.0.0.1]:" << port_ << ' ' << std::ifstream(folder_ / "host_key.pub").rdbuf();
  std::ofstream(folder_ / "sshd_config")
      << "ListenAddress 127.0.0.1\nPort " << port_ << "\nHostKey "
      << (folder_ / "host_key").string() << "\nAuthorizedKeysFile "
      << (folder_ / "authorized_keys").string() << "\nPidFile " << (folder_ / "sshd.pid").string()
      << "\nUsePAM no\nStrictModes no\nPermitRootLogin prohibit-password\n"
         "PasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel ERROR\nAllowUsers "
      << UserName() << '\n';
  ok_ = true;
}

SshServer::~SshServer() {
  Stop();
}

bool SshServer::Start() {
  if (!ok_ || pid_ > 0) {
    return ok_;
  }
  const std::string config = (folder_ / "sshd_config").string();
  const std::string log = (folder_ / "sshd.log").string();
  const char* argv[] = {"/usr/sbin/sshd", "-D", "-E", log.c_str(), "-f", config.c_str(), nullptr};
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    pid_ = -1;
    return false;
  }
  for (int i = 0; i < 500 && !Accepts(port_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Accepts(port_);
}

void SshServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

void SshServer::Configure(Settings& settings, const std::string& remoteFolder) const {
  settings.uploadTarget = UserName() + "@127.0.0.1:" + remoteFolder;
  settings.uploadPort = port_;
  settings.uploadKeyFile = (folder_ / "client_key").string();
  settings.uploadKnownHostsFile = knownHosts();
}

}  // namespace ombrix::test
