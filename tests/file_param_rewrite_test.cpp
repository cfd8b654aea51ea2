// The rewrite of one line of a file: every other byte kept, lines of any width
// replaced whole, a line of the same length written in place in the same file, others
// by replacing the file atomically, in place of the file a link names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "boxtest.h"
#include "file_param.h"

using boxtest::read_file;
using boxtest::root;
using boxtest::write_file;

namespace {

class LineRewrite : public ::testing::Test {
  protected:
    void SetUp() override {
        boxtest::set_immutable(dir, false); // left over by an interrupted run
        boxtest::reset_root();
    }
    void TearDown() override { boxtest::set_immutable(dir, false); }
    const std::string dir = root("/home/KELDRAN/DATA");
    const std::string path = dir + "/PRODUCTION.txt";
};

ino_t inode_of(const std::string &p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_ino;
}

TEST_F(LineRewrite, LineOfTheSameLengthIsWrittenInPlaceInTheSameFile) {
    const std::string head = "#002#1" + std::string(39, ' ') + "\n";
    write_file(path, head + "#031#0" + std::string(39, ' ') + "\n");
    const ino_t before = inode_of(path);
    // The factory tool keeps the file open and adds a request after our acknowledgement.
    int tool = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(tool, 0);
    ASSERT_STREQ(write_code_param_file("#031#", "1", path.c_str(), 40), "ok");
    ASSERT_EQ(write(tool, "#032#1\n", 7), 7);
    close(tool);
    EXPECT_EQ(inode_of(path), before);
    EXPECT_EQ(read_file(path), head + "#031#1" + std::string(39, ' ') + "\n#032#1\n");

    // A directory that takes no temporary file: only a line of the same length is written.
    if (!boxtest::set_immutable(dir, true)) GTEST_SKIP() << "no immutable directories here";
    EXPECT_STREQ(write_code_param_file("#002#", "4", path.c_str(), 40), "ok");
    EXPECT_STREQ(write_code_param_file("#032#", "2", path.c_str(), 10), "") << "longer line";
    EXPECT_STREQ(write_code_param_file("#050#", "x", path.c_str(), 10), "") << "appended line";
    EXPECT_EQ(read_file(path),
              "#002#4" + std::string(39, ' ') + "\n#031#1" + std::string(39, ' ') + "\n#032#1\n");
    boxtest::set_immutable(dir, false);
    EXPECT_EQ(boxtest::list_dir(dir), (std::vector<std::string>{"PRODUCTION.txt", "log"}));
}

TEST_F(LineRewrite, KeepsNulBytesLongLinesAndMatchesOnlyAtTheStartOfALine) {
    // A 1500-byte line whose middle holds the tag, NUL bytes, and the tag's real line last.
    std::string long_line = std::string(1000, 'a') + "#031#9" + std::string(494, 'b') + "\n";
    std::string with_nul = std::string("x\0y\0z", 5) + "\n";
    write_file(path, long_line + with_nul + "#031#0\n");
    ASSERT_STREQ(write_code_param_file("#031#", "1", path.c_str(), 10), "ok");
    EXPECT_EQ(read_file(path), long_line + with_nul + "#031#1         \n");
}

TEST_F(LineRewrite, ReplacesShorterAndLongerLinesWholeAndAppendsMissingOnes) {
    write_file(path, "#032#1\r\n#002#4" + std::string(40, ' ') + "\n#040#last");
    write_code_param_file("#032#", "2", path.c_str(), 40);
    write_code_param_file("#002#", "1", path.c_str(), 10);
    write_code_param_file("#050#", "new", path.c_str(), 10);
    EXPECT_EQ(read_file(path), "#032#2" + std::string(39, ' ') + "\n#002#1" + std::string(9, ' ') +
                                   "\n#040#last\n#050#new       \n");
}

TEST_F(LineRewrite, ValueTheLineCannotHoldWholeIsRefusedAndTheFileKept) {
    const std::string file = "#031#0\n#032#1\n";
    write_file(path, file);
    // the longest value a line holds whole is written and read back whole
    const std::string longest(SIZE_PARAM_LINE - 1 - 5, 'v');
    ASSERT_STREQ(write_code_param_file("#031#", longest.c_str(), path.c_str(), 40), "ok");
    EXPECT_EQ(read_file(path), "#031#" + longest + "\n#032#1\n");
    EXPECT_EQ(read_code_param_file("#031#", path.c_str()), longest);
    // one more, far more, or a line end in the value: nothing written, no line torn or
    // merged with the next
    write_file(path, file);
    for (const std::string &v :
         {longest + "v", std::string(300, 'w'), std::string("4\n#032#9"), std::string("4\r")}) {
        EXPECT_STREQ(write_code_param_file("#031#", v.c_str(), path.c_str(), 40), "") << v;
        EXPECT_EQ(read_file(path), file) << v;
    }
}

TEST_F(LineRewrite, FollowsALinkAndKeepsTheModeWithoutLeavingATemporaryFile) {
    std::string target = root("/etc/real_board_id");
    std::string link = root("/etc/board_id");
    write_file(target, "export REV=3\n");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(
        replace_line_in_file(link.c_str(), "export SERIAL_NUMBER=", "export SERIAL_NUMBER=\"5\"\n"),
        0);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(target), "export REV=3\nexport SERIAL_NUMBER=\"5\"\n");
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(boxtest::list_dir(root("/etc")),
              (std::vector<std::string>{"board_id", "real_board_id"}));
}

TEST_F(LineRewrite, MissingFileIsNeitherCreatedNorReportedAsWritten) {
    EXPECT_STREQ(write_code_param_file("#031#", "1", path.c_str(), 40), "");
    EXPECT_EQ(replace_line_in_file(path.c_str(), "#031#", "#031#1\n"), -1);
    EXPECT_FALSE(boxtest::exists(path));
    EXPECT_EQ(boxtest::list_dir(root("/home/KELDRAN/DATA")), (std::vector<std::string>{"log"}));
}

} // namespace
