// Installing like a desktop program: the installed files and the package.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  std::string output;
  char buffer[4096];
  for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
    output.append(buffer, n);
  }
  return output;
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmor-pkg-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
};

TEST(Packaging, InstallPutsProgramDesktopEntryAndIconAndNothingElse) {
  TempDir prefix;
  const std::string log = Shell(std::string(CMAKE_COMMAND) + " --install " + BUILD_DIR +
                                " --prefix " + prefix.path.string());
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(prefix.path)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), prefix.path).string());
  }
  EXPECT_EQ(files,
            (std::set<std::string>{"bin/velmor", "share/applications/velmor.desktop",
                                   "share/icons/hicolor/32x32/apps/velmor.png",
                                   "lib/systemd/system/velmor.service",
                                   "share/man/man1/velmor.1.gz", "share/doc/velmor/README.md",
                                   "share/doc/velmor/changelog.gz", "share/doc/velmor/copyright"}))
      << log;
  const std::string desktop =
      Shell("cat " + (prefix.path / "share/applications/velmor.desktop").string());
  EXPECT_NE(desktop.find("Name=Velmor\n"), std::string::npos);
  EXPECT_NE(desktop.find("Icon=velmor\n"), std::string::npos);
  EXPECT_NE(desktop.find("Categories=Network;Chat;\n"), std::string::npos);
  const std::string icon =
      Shell("file " + (prefix.path / "share/icons/hicolor/32x32/apps/velmor.png").string());
  EXPECT_NE(icon.find("32 x 32"), std::string::npos) << icon;
}

TEST(Packaging, ServiceUnitVerifiesAndManualPageReads) {
  TempDir root;
  Shell(std::string(CMAKE_COMMAND) + " --install " + BUILD_DIR + " --prefix " +
        (root.path / "usr").string());
  const fs::path unit = root.path / "usr/lib/systemd/system/velmor.service";
  const std::string text = Shell("cat " + unit.string());
  for (const char* line :
       {"ExecStart=/usr/bin/velmor --no-window $VELMOR_OPTIONS\n",
        "EnvironmentFile=-/etc/default/velmor\n", "DynamicUser=yes\n", "NoNewPrivileges=yes\n",
        "ProtectSystem=strict\n", "ProtectHome=yes\n", "PrivateTmp=yes\n",
        "RuntimeDirectory=velmor\n", "StateDirectory=velmor\n", "StateDirectoryMode=0700\n",
        "Restart=on-failure\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  if (Shell("command -v systemd-analyze").empty()) {
    ADD_FAILURE() << "systemd-analyze is missing; scripts/setup.sh installs it (package systemd)";
  } else {
    // Checked inside the installed tree, where ExecStart's program exists.
    const std::string verify =
        Shell("systemd-analyze verify --man=no --recursive-errors=no --root=" + root.path.string() +
              " " + unit.string() + "; echo rc=$?");
    EXPECT_EQ(verify, "rc=0\n");
  }
  const std::string manual = Shell("MANWIDTH=80 man --warnings -l " +
                                   (root.path / "usr/share/man/man1/velmor.1.gz").string());
  EXPECT_NE(manual.find("--no-window"), std::string::npos) << manual;
  EXPECT_EQ(manual.find("warning"), std::string::npos) << manual;
}

TEST(Packaging, DebianPackageHoldsTheFilesAndNamesItsRuntimeDependencies) {
  TempDir out;
  const std::string log = Shell(std::string(CPACK_COMMAND) + " -G DEB --config " + BUILD_DIR +
                                "/CPackConfig.cmake -B " + out.path.string());
  fs::path deb;
  for (const auto& entry : fs::directory_iterator(out.path)) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  ASSERT_FALSE(deb.empty()) << log;
  const std::string contents = Shell("dpkg-deb -c " + deb.string());
  EXPECT_NE(contents.find("./usr/bin/velmor"), std::string::npos) << contents;
  EXPECT_NE(contents.find("./usr/share/applications/velmor.desktop"), std::string::npos);
  EXPECT_NE(contents.find("./usr/share/icons/hicolor/32x32/apps/velmor.png"), std::string::npos);
  const std::string depends = Shell("dpkg-deb -f " + deb.string() + " Depends");
  for (const char* package :
       {"libqt6widgets6", "libqt6network6", "libqt6core6", "qt6-qpa-plugins", "fonts-noto-cjk"}) {
    EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;
  }
  EXPECT_EQ(Shell("dpkg-deb -f " + deb.string() + " Version"), std::string(VELMOR_VERSION) + "\n");
  EXPECT_NE(contents.find("./usr/lib/systemd/system/velmor.service"), std::string::npos);

  // Debian's own checker: no error and no warning (information is allowed).
  const std::string lintian = Shell("lintian --allow-root " + deb.string() + "; echo rc=$?");
  EXPECT_EQ(lintian, "rc=0\n") << lintian;
}

}  // namespace
