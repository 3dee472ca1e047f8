// Certificates for TLS tests, made with Debian's openssl program in a temporary folder: a test CA
// and server certificates it issues (valid now, or expired), or self-signed ones. Names may be
// anything ("localhost", "mail.example.org", "127.0.0.1"): nothing is looked up. Everything is
// removed with the object. A failing openssl run throws std::runtime_error with its output.
//
//   TlsTestCa ca;                                    // CA in ca.CaFile()
//   TlsTestCert good = ca.Issue("localhost");        // good.Cert, good.Key, good.Fingerprint
//   TlsTestCert old = ca.Issue("localhost", TlsTestCa::Expired);
//   TlsTestCert own = ca.Issue("localhost", TlsTestCa::SelfSigned);
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

extern char** environ;

struct TlsTestCert {
  std::string Cert;         // PEM file of the certificate
  std::string Key;          // PEM file of its private key
  std::string Fingerprint;  // SHA-256 of the certificate, "AB:CD:..." as openssl prints it
};

class TlsTestCa {
 public:
  enum Kind { Valid, Expired, SelfSigned };

  TlsTestCa() {
    WriteWholeFile(dir_.File("index.txt"), "");
    WriteWholeFile(dir_.File("serial"), "1000\n");
    WriteWholeFile(dir_.File("ca.cnf"), CaConfig());
    Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", dir_.File("ca.key"), "-out", CaFile(), "-subj", "/CN=Tarvik Test CA", "-days",
         "30", "-addext", "basicConstraints=critical,CA:true", "-addext",
         "keyUsage=critical,keyCertSign,cRLSign"});
  }

  const std::string& Folder() const { return dir_.Path(); }
  std::string CaFile() const { return dir_.File("ca.pem"); }

  // A certificate for Name (common name and subject alternative name).
  TlsTestCert Issue(const std::string& Name, Kind What = Valid) {
    const std::string base = dir_.File("cert" + std::to_string(++issued_));
    TlsTestCert out{base + ".pem", base + ".key", ""};
    const std::string san = (IsAddress(Name) ? "subjectAltName=IP:" : "subjectAltName=DNS:") + Name;
    if (What == SelfSigned) {
      Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", out.Key, "-out", out.Cert, "-subj", "/CN=" + Name, "-days", "30", "-addext",
           san});
    } else {
      Run({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", out.Key, "-out", base + ".csr", "-subj", "/CN=" + Name, "-addext", san});
      std::vector<std::string> sign = {
          "ca",  "-batch",      "-notext", "-config", dir_.File("ca.cnf"),
          "-in", base + ".csr", "-out",    out.Cert};
      if (What == Expired) {
        sign.insert(sign.end(), {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
      } else {
        sign.insert(sign.end(), {"-days", "30"});
      }
      Run(sign);
    }
    const std::string line = Run({"x509", "-noout", "-fingerprint", "-sha256", "-in", out.Cert});
    const auto eq = line.find('=');
    if (eq == std::string::npos) throw std::runtime_error("openssl: no fingerprint: " + line);
    out.Fingerprint = line.substr(eq + 1);
    while (!out.Fingerprint.empty() &&
           (out.Fingerprint.back() == '\n' || out.Fingerprint.back() == '\r'))
      out.Fingerprint.pop_back();
    return out;
  }

 private:
  static bool IsAddress(const std::string& Name) {
    return Name.find_first_not_of("0123456789.") == std::string::npos ||
           Name.find(':') != std::string::npos;
  }

  std::string CaConfig() const {
    return "[ca]\ndefault_ca = test_ca\n[test_ca]\n"
           "database = " +
           dir_.File("index.txt") +
           "\n"
           "new_certs_dir = " +
           dir_.Path() +
           "\n"
           "serial = " +
           dir_.File("serial") +
           "\n"
           "certificate = " +
           CaFile() +
           "\n"
           "private_key = " +
           dir_.File("ca.key") +
           "\n"
           "default_md = sha256\npolicy = any_name\ncopy_extensions = copy\n"
           "unique_subject = no\nemail_in_dn = no\n"
           "[any_name]\ncommonName = supplied\n";
  }

  // Runs openssl with Args; returns its standard output, throws with its output on failure.
  std::string Run(const std::vector<std::string>& Args) {
    const std::string log = dir_.File("openssl.log");
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string out = dir_.File("openssl.out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start /usr/bin/openssl (Debian package openssl)");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error("openssl " + Args[0] + " failed: " + ReadWholeFile(log));
    return ReadWholeFile(out);
  }

  TestTempDir dir_;
  int issued_ = 0;
};
