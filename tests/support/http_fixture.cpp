// Runs http_fixture.py with python3 and reads the port it prints.
#include "http_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace qztest {

namespace {

std::vector<std::string> fixtureArguments(const char* script, const std::optional<TlsFiles>& tls) {
  std::vector<std::string> args = {script, "--parent", std::to_string(getpid())};
  if (tls) args.insert(args.end(), {"--tls", tls->certificate, tls->key});
  return args;
}

}  // namespace

HttpFixture::HttpFixture(const std::optional<TlsFiles>& tls)
    : HttpFixture("python3", fixtureArguments(QZ_HTTP_FIXTURE, tls), tls.has_value()) {}

Http2Fixture::Http2Fixture(const TlsFiles& tls, const std::string& protocols)
    : HttpFixture(
          "/usr/bin/python3",
          [&] {
            std::vector<std::string> args = fixtureArguments(QZ_HTTP2_FIXTURE, tls);
            args.insert(args.end(), {"--protocols", protocols});
            return args;
          }(),
          true) {}

HttpFixture::HttpFixture(const char* interpreter, std::vector<std::string> arguments, bool tls) : tls_(tls) {
  std::vector<std::string> args = {interpreter};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  const int spawned = posix_spawnp(&pid_, interpreter, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    throw std::runtime_error(std::string(interpreter) + " could not be started");
  }
  FILE* stream = fdopen(output[0], "r");
  if (stream == nullptr || std::fscanf(stream, "%d", &port_) != 1) port_ = 0;
  if (stream != nullptr) std::fclose(stream);
  if (port_ == 0) throw std::runtime_error("the HTTP fixture did not start");
}

HttpFixture::~HttpFixture() {
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string HttpFixture::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

unsigned char fixturePatternByte(uint64_t offset) {
  const uint64_t i = offset % (uint64_t{1} << 20);
  return static_cast<unsigned char>((i * 7 + i / 251) % 256);
}

std::optional<TlsFiles> makeLocalCertificate(const std::string& dir) {
  TlsFiles files{dir + "/fixture-cert.pem", dir + "/fixture-key.pem"};
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      files.key + "' -out '" + files.certificate + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return std::nullopt;
  return files;
}

}  // namespace qztest
