// What cmake --install gives the box: the tree under a DESTDIR with the prefix /usr
// (as the package has it), the service units and init scripts made for the prefix
// named at install time, systemd's own check of the units where the tool exists, the
// sample parameter file against the tags the concentrator reads, and the network check
// on a share that is, or is not, in the mount table. Nothing installed here is run.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "boxtest.h"

using boxtest::exists;
using boxtest::read_file;

namespace {

// Runs a shell command line; its exit status, its output and error in out.
int sh(const std::string &cmd, std::string *out = nullptr) {
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/install_test.XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { sh("rm -rf '" + path + "'"); }
};

// Installs this build: into destdir (may be empty) with the prefix.
void install(const std::string &destdir, const std::string &prefix) {
    std::string out;
    std::string env = destdir.empty() ? "" : "DESTDIR='" + destdir + "' ";
    ASSERT_EQ(
        sh(env + "'" CMAKE_COMMAND "' --install '" BINARY_DIR "' --prefix '" + prefix + "'", &out),
        0)
        << out;
}

// Regular files under dir, relative, sorted, each with its permission bits.
std::set<std::string> files_under(const std::string &dir) {
    std::string out;
    sh("cd '" + dir + "' && find . -type f -printf '%P %m\\n'", &out);
    std::set<std::string> files;
    for (const std::string &l : boxtest::lines_of(out))
        if (!l.empty()) files.insert(l);
    return files;
}

bool has_line(const std::string &text, const std::string &line) {
    for (const std::string &l : boxtest::lines_of(text))
        if (l == line) return true;
    return false;
}

TEST(Install, DestdirWithThePrefixUsrGetsTheBoxTreeAndNothingElse) {
    TempDir d;
    install(d.path, "/usr");
    EXPECT_EQ(files_under(d.path), (std::set<std::string>{
                                       "etc/init.d/concentrator 755",
                                       "etc/init.d/provisioning 755",
                                       "usr/bin/concentrator 755",
                                       "usr/bin/provisioning 755",
                                       "usr/bin/testNetwork.sh 755",
                                       "usr/lib/systemd/system/concentrator.service 644",
                                       "usr/lib/systemd/system/provisioning.service 644",
                                       "usr/share/doc/keldran-box/PARAM_VARN.txt 644",
                                       "usr/share/doc/keldran-box/README 644",
                                   }));
    const std::string unit = read_file(d.path + "/usr/lib/systemd/system/concentrator.service");
    for (const char *l : {"ExecStart=/usr/bin/concentrator", "Restart=always", "RestartSec=2",
                          "RequiresMountsFor=/mnt/GIEGLAN", "StartLimitIntervalSec=0",
                          "WantedBy=multi-user.target"})
        EXPECT_TRUE(has_line(unit, l)) << l << "\n" << unit;
    // testNetwork.sh, run by name, is found in the programs' directory first
    EXPECT_NE(unit.find("\nEnvironment=PATH=/usr/bin:"), std::string::npos) << unit;
    const std::string init = read_file(d.path + "/etc/init.d/concentrator");
    EXPECT_TRUE(has_line(init, "DAEMON=/usr/bin/concentrator")) << init;
    EXPECT_TRUE(
        has_line(read_file(d.path + "/etc/init.d/provisioning"), "DAEMON=/usr/bin/provisioning"));
}

TEST(Install, UnitsAndInitScriptsNameThePrefixGivenAtInstallAndPassTheirChecks) {
    TempDir d;
    const std::string prefix = d.path + "/opt/box";
    install("", prefix);
    const std::string units = prefix + "/lib/systemd/system/";
    for (const char *name : {"concentrator", "provisioning"}) {
        const std::string unit = read_file(units + name + ".service");
        EXPECT_TRUE(has_line(unit, "ExecStart=" + prefix + "/bin/" + name)) << unit;
        const std::string script = prefix + "/etc/init.d/" + name;
        EXPECT_TRUE(has_line(read_file(script), "DAEMON=" + prefix + "/bin/" + name));
        std::string out;
        EXPECT_EQ(sh("sh -n '" + script + "'", &out), 0) << out;
    }
    if (sh("command -v systemd-analyze >/dev/null") != 0) {
        GTEST_SKIP() << "systemd-analyze is not on this machine: units not verified";
    }
    // the programs exist where the units say, so the check covers every line; any
    // word from it is a fault, as it warns with status 0 about unknown keys
    std::string out;
    EXPECT_EQ(sh("systemd-analyze verify --man=no '" + units + "concentrator.service' '" + units +
                     "provisioning.service'",
                 &out),
              0);
    EXPECT_EQ(out, "");
}

TEST(Install, SampleParameterFileHasEachTagTheConcentratorReadsUnpaddedAndExplained) {
    // the tags of the settings, from the concentrator's own reading of them
    std::set<std::string> read;
    const std::string src = read_file(SOURCE_DIR "/concentrator/file_param.cpp");
    const std::regex setting("READ_SETTING\\([a-z_]+, \"(#[0-9]{3}#)\"\\)");
    for (std::sregex_iterator m(src.begin(), src.end(), setting), end; m != end; ++m)
        read.insert((*m)[1]);
    ASSERT_GE(read.size(), 8u);

    TempDir d;
    install(d.path, "/usr");
    const std::string doc = d.path + "/usr/share/doc/keldran-box/";
    const std::string sample = read_file(doc + "PARAM_VARN.txt");
    const std::string readme = read_file(doc + "README");
    std::set<std::string> tags;
    for (const std::string &l : boxtest::lines_of(sample)) {
        if (l.empty()) continue;
        ASSERT_TRUE(std::regex_match(l, std::regex("#[0-9]{3}#[^ \t\r]*"))) << "[" << l << "]";
        EXPECT_TRUE(tags.insert(l.substr(0, 5)).second) << "twice: " << l;
        // the README explains the line as it stands in the file
        EXPECT_NE(readme.find("\n  " + l + " "), std::string::npos) << l;
    }
    EXPECT_EQ(tags, read);
}

TEST(Install, NetworkCheckAnswersZeroOnlyForAMountedShareThatTakesAFile) {
    TempDir d;
    const std::string check = SOURCE_DIR "/packaging/testNetwork.sh";
    const std::string share = d.path + "/GIEGLAN", mounts = d.path + "/mounts";
    mkdir(share.c_str(), 0755);
    auto run = [&] { return sh("'" + check + "' '" + share + "' '" + mounts + "'"); };

    boxtest::write_file(mounts, "/dev/vda / ext4 rw 0 0\n");
    EXPECT_EQ(run(), 1) << "a bare directory is no share";
    boxtest::write_file(mounts, "/dev/vda / ext4 rw 0 0\n//pc/station " + share +
                                    " cifs rw,vers=3.0 0 0\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(boxtest::list_dir(share), std::vector<std::string>{}) << "the probe is removed";
    rmdir(share.c_str());
    EXPECT_EQ(run(), 2) << "mounted in the table but no file can be made";
    boxtest::write_file(mounts, "//pc/station " + share + "/sub cifs rw 0 0\n");
    mkdir(share.c_str(), 0755);
    EXPECT_EQ(run(), 1) << "only the share's own mount point counts";
}

} // namespace
