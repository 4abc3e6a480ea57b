#include "support/ssh_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "outbox/child_process.h"

extern char** environ;

namespace ombrix::test {
namespace {

std::string UserName() {
  const passwd* user = getpwuid(geteuid());
  return user != nullptr ? user->pw_name : "root";
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A port free on 127.0.0.1 now (the system's choice), or 0.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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
  std::ofstream(folder_ / "authorized_keys") << ReadAll(folder_ / "client_key.pub");
  std::ofstream(folder_ / "known_hosts")
      << "[127.0.0.1]:" << port_ << ' ' << ReadAll(folder_ / "host_key.pub");
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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  const char* argv[] = {"/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), nullptr};
  const int spawned =
      posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
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
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

std::string SshServer::Target(const std::string& remoteFolder) const {
  return UserName() + "@127.0.0.1:" + remoteFolder;
}

}  // namespace ombrix::test
