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
  const std::string deb = dir.File("parleon-server_2.0.18.25_amd64.deb");
  ASSERT_TRUE(FileExists(deb)) << ReadFileText(log);
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
                           "-PID=/run/parleon-server/parleon-server.pid\n",
                           "RuntimeDirectory=parleon-server\n", "Documentation=man:parleon-server(8)\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  // logrotate finds the process through the PID file the unit names, so
  // the log is reopened without a service manager too.
  const std::string rotate = ReadFileText(root + "/etc/logrotate.d/parleon-server");
  EXPECT_NE(rotate.find("/var/lib/parleon-server/server.log {"), std::string::npos) << rotate;
  EXPECT_NE(rotate.find("kill -HUP \"$(cat /run/parleon-server/parleon-server.pid)\""), std::string::npos) << rotate;
  for (const char* doc : {"/usr/share/doc/parleon-server/copyright", "/usr/share/doc/parleon-server/changelog.gz",
                          "/usr/share/man/man8/parleon-server.8.gz"})
    EXPECT_TRUE(FileExists(root + doc)) << doc;

  // The system user is made by the maintainer script, which needs adduser.
  const std::string control = dir.File("control");
  ASSERT_EQ(Shell("dpkg-deb -e '" + deb + "' '" + control + "'", log), 0) << ReadFileText(log);
  EXPECT_NE(ReadFileText(control + "/postinst").find("adduser --system"), std::string::npos);
  EXPECT_NE(ReadFileText(control + "/control").find("Depends: adduser"), std::string::npos);

  // Debian's own checker passes the package with no error and no warning.
  if (std::system("command -v lintian >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "lintian is not installed (make deps installs it)";
  }
  const std::string report = dir.File("lintian.txt");
  Shell("lintian --pedantic --tag-display-limit 0 '" + deb + "'", report);
  const std::string findings = ReadFileText(report);
  EXPECT_EQ(findings.find("E: "), std::string::npos) << findings;
  EXPECT_EQ(findings.find("W: "), std::string::npos) << findings;
}

}  // namespace
