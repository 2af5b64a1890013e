// The Debian package of the build tree: cpack makes it, dpkg-deb unpacks it
// into a scratch root, and the layout an operator relies on is checked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/TempDir.h"

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs `command` through the shell; its output goes to `log`.
int Shell(const std::string& command, const std::string& log) {
  return std::system((command + " >>'" + log + "' 2>&1").c_str());
}

TEST(PackageTest, DebianPackageInstallsTheServiceLayout) {
  const std::string exe = PARLEON_SERVER_EXE;
  const std::string buildDir = exe.substr(0, exe.rfind('/'));
  TTempDir dir;
  const std::string log = dir.File("log.txt");
  ASSERT_EQ(Shell("cpack -G DEB --config '" + buildDir + "/CPackConfig.cmake' -B '" + dir.Path() + "'", log), 0)
      << ReadFileText(log);
  // Each build's package version carries "+N", so dpkg orders builds and
  // tells a downgrade from a reinstall.
  const std::string debs = dir.File("debs.txt");
  ASSERT_EQ(Shell("cd '" + dir.Path() + "' && ls parleon-server_2.0.18.25+*_amd64.deb", debs), 0) << ReadFileText(log);
  const std::string deb = dir.File(ReadFileText(debs).substr(0, ReadFileText(debs).find('\n')));
  ASSERT_TRUE(FileExists(deb)) << ReadFileText(log);
  const std::string build = deb.substr(deb.find('+') + 1, deb.find("_amd64") - deb.find('+') - 1);
  ASSERT_FALSE(build.empty()) << deb;
  EXPECT_EQ(build.find_first_not_of("0123456789"), std::string::npos) << deb;
  // From a checkout, N is its commit count.
  if (FileExists(std::string(PARLEON_SOURCE_DIR) + "/.git")) {
    EXPECT_GT(std::stol(build), 0) << deb;
  }
  const std::string root = dir.File("root");
  ASSERT_EQ(Shell("dpkg-deb -x '" + deb + "' '" + root + "'", log), 0) << ReadFileText(log);

  struct stat st{};
  ASSERT_EQ(stat((root + "/usr/sbin/parleon-server").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXOTH);
  // The folder is there even in a tree without templates.
  EXPECT_TRUE(IsDirectory(root + "/usr/share/parleon-server/httpdocs"));
  if (FileExists(std::string(PARLEON_SOURCE_DIR) + "/httpdocs/index.html")) {
    EXPECT_TRUE(FileExists(root + "/usr/share/parleon-server/httpdocs/index.html"));
  }
  EXPECT_TRUE(IsDirectory(root + "/var/lib/parleon-server"));
  const std::string unit = ReadFileText(root + "/lib/systemd/system/parleon-server.service");
  for (const char* line : {"Type=notify\n", "User=parleon\n", "WorkingDirectory=/var/lib/parleon-server\n",
                           "ExecStart=/usr/sbin/parleon-server -HTTPDOCS=/usr/share/parleon-server/httpdocs "
                           "-PID=/run/parleon-server/parleon-server.pid -LOG=/var/log/parleon-server/server.log\n",
                           "RuntimeDirectory=parleon-server\n", "Documentation=man:parleon-server(8)\n",
                           "LogsDirectory=parleon-server\n",
                           "RestartPreventExitStatus=78\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  // logrotate finds the process through the PID file the unit names, so
  // the log is reopened without a service manager too.
  const std::string rotate = ReadFileText(root + "/etc/logrotate.d/parleon-server");
  EXPECT_NE(rotate.find("/var/log/parleon-server/server.log {"), std::string::npos) << rotate;
  EXPECT_TRUE(IsDirectory(root + "/var/log/parleon-server"));
  EXPECT_NE(rotate.find("kill -HUP \"$(cat /run/parleon-server/parleon-server.pid)\""), std::string::npos) << rotate;
  for (const char* doc : {"/usr/share/doc/parleon-server/copyright", "/usr/share/doc/parleon-server/changelog.gz",
                          "/usr/share/man/man8/parleon-server.8.gz"})
    EXPECT_TRUE(FileExists(root + doc)) << doc;

  // The system user is made by the maintainer script, which needs adduser.
  const std::string control = dir.File("control");
  ASSERT_EQ(Shell("dpkg-deb -e '" + deb + "' '" + control + "'", log), 0) << ReadFileText(log);
  // The folders get their owner and mode on the first install only.
  const std::string postinst = ReadFileText(control + "/postinst");
  EXPECT_NE(postinst.find("adduser --system"), std::string::npos);
  EXPECT_LT(postinst.find("if [ -z \"$2\" ]; then"), postinst.find("chown parleon:parleon")) << postinst;
  const std::string fields = ReadFileText(control + "/control");
  EXPECT_NE(fields.find("Depends: adduser"), std::string::npos) << fields;
  EXPECT_NE(fields.find("Recommends: logrotate\n"), std::string::npos) << fields;

  // Debian's own checker passes the package with no error and no warning.
  if (std::system("command -v lintian >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "lintian is not installed (make deps installs it)";
  }
  const std::string report = dir.File("lintian.txt");
  Shell("lintian --pedantic --tag-display-limit 0 '" + deb + "'", report);
  const std::string findings = ReadFileText(report);
  EXPECT_EQ(findings.find("E: "), std::string::npos) << findings;
  EXPECT_EQ(findings.find("W: "), std::string::npos) << findings;
  // The binary carries the distribution's hardening (pedantic shows every tag).
  EXPECT_EQ(findings.find("hardening-"), std::string::npos) << findings;
}

}  // namespace
