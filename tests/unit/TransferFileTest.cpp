// The file of a transfer at positions past 2^31, on sparse files: a download's tail and
// an upload's last bytes land where 64-bit positions put them, and an upload never
// runs past its size.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "server/TransferFile.h"

namespace quorvane {
namespace server {
namespace {

const int64_t TWO_GIB = 2147483648LL;

class TransferFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-transfer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const char* name : {"/big", "/up", "/up2"}) unlink((dir_ + name).c_str());
        rmdir(dir_.c_str());
    }
    // A sparse file of size bytes ending with the tail.
    void MakeSparse(const std::string& path, int64_t size, const std::string& tail) {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), size - static_cast<int64_t>(tail.size())),
                  static_cast<ssize_t>(tail.size()));
        close(fd);
    }
    std::string dir_;
};

TEST_F(TransferFileTest, DownloadReadsTheTailPastTwoGiB) {
    const std::string tail = "the last bytes of a big file";
    const int64_t size = TWO_GIB + 10;
    MakeSparse(dir_ + "/big", size, tail);
    TransferFile file;
    ASSERT_TRUE(file.OpenForDownload(dir_ + "/big", size));
    file.SetPosition(size - 100);
    char buffer[256];
    ASSERT_EQ(file.Read(buffer, sizeof(buffer)), 100);  // no further than the size
    EXPECT_EQ(std::string(buffer + 100 - tail.size(), tail.size()), tail);
    EXPECT_EQ(std::string(buffer, 10), std::string(10, '\0'));
    file.Advance(100);
    EXPECT_TRUE(file.AtEnd());
    EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 0);
}

TEST_F(TransferFileTest, UploadWritesUpToItsSizeOnly) {
    struct Case {
        int64_t start;
        std::string bytes;
        TransferFile::WriteResult expected;
        int64_t position;  // after the write
    } cases[] = {
        {TWO_GIB - 4, "abcd", TransferFile::WRITE_MORE, TWO_GIB},
        {TWO_GIB - 4, "abcdefghij", TransferFile::WRITE_COMPLETE, TWO_GIB + 6},
        {TWO_GIB - 4, "abcdefghijk", TransferFile::WRITE_PAST_END, TWO_GIB - 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        TransferFile file;
        ASSERT_TRUE(file.OpenForUpload(dir_ + "/up", TWO_GIB + 6));
        // The file is exclusive to one upload.
        TransferFile other;
        EXPECT_FALSE(other.OpenForUpload(dir_ + "/up", 1));
        file.SetPosition(c.start);
        EXPECT_EQ(file.Write(c.bytes.data(), c.bytes.size()), c.expected);
        EXPECT_EQ(file.GetPosition(), c.position);
        struct stat info;
        ASSERT_EQ(stat((dir_ + "/up").c_str(), &info), 0);
        EXPECT_EQ(info.st_size, c.position == c.start ? 0 : c.position);
        file.Close(true);
        EXPECT_NE(access((dir_ + "/up").c_str(), F_OK), 0);
    }
}

}  // namespace
}  // namespace server
}  // namespace quorvane
