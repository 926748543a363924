// The small-file reader's refusals (nothing planted may hold it or be
// followed where links are refused) and the private writer's replacement
// of every planted name.
#include "base/zepsmallfile.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "support/plants.h"

namespace {

// A scratch directory removed with its files at the end of each test.
class SmallFileDir {
 public:
  SmallFileDir() {
    char tmpl[] = "/tmp/zepsmallfile_test.XXXXXX";
    const char* d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    dir_ = d ? d : "/tmp";
  }
  ~SmallFileDir() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

TEST(ZEPSmallFileTest, ReaderTakesRegularFilesUpToTheLimitAndNeverWaits) {
  SmallFileDir dir;
  dir.Write("four", "abcd");
  dir.Write("empty", "");
  dir.Write("zeros", std::string("a\0b", 3));
  ASSERT_EQ(0, mkdir(dir.Path("dir").c_str(), 0700));
  ASSERT_EQ(0, mkfifo(dir.Path("fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink(dir.Path("four").c_str(), dir.Path("link").c_str()));
  ASSERT_EQ(0, symlink(dir.Path("fifo").c_str(), dir.Path("fifolink").c_str()));
  ASSERT_EQ(0, symlink(dir.Path("gone").c_str(), dir.Path("dangling").c_str()));
  // A socket's name opens with ENXIO.
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = dir.Path("sock");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));

  const struct {
    std::string path;
    bool follow;
    size_t limit;
    int rc;
    int err;  // errno for -1
    std::string text;
  } cases[] = {
      {dir.Path("four"), false, 4, 0, 0, "abcd"},
      {dir.Path("four"), false, 3, -1, EFBIG, ""},
      {dir.Path("four"), false, 0, -1, EFBIG, ""},
      {dir.Path("empty"), false, 0, 0, 0, ""},
      {dir.Path("zeros"), false, 16, 0, 0, std::string("a\0b", 3)},
      {dir.Path("missing"), true, 16, -1, ENOENT, ""},
      {dir.Path("dir"), true, 16, -1, EISDIR, ""},
      {dir.Path("fifo"), true, 16, -2, 0, ""},
      {dir.Path("fifolink"), true, 16, -2, 0, ""},
      {dir.Path("fifolink"), false, 16, -2, 0, ""},
      {dir.Path("link"), true, 16, 0, 0, "abcd"},
      {dir.Path("link"), false, 16, -2, 0, ""},
      {dir.Path("dangling"), true, 16, -1, ENOENT, ""},
      {dir.Path("dangling"), false, 16, -2, 0, ""},
      {sockPath, true, 16, -2, 0, ""},
      {"/dev/null", true, 16, -2, 0, ""},
      {"/dev/zero", true, 16, -2, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + (c.follow ? " (links followed)" : " (no links)") + " limit " +
                 std::to_string(c.limit));
    std::string text = "old";
    int rc = 99;
    int err = 0;
    EXPECT_TRUE(zeptest::ReturnsWithin(
        [&] {
          rc = ZEPLoadSmallFile(c.path.c_str(), c.follow, c.limit, text);
          err = errno;
        },
        5000, c.path));
    EXPECT_EQ(c.rc, rc);
    if (c.rc == -1) {
      EXPECT_EQ(c.err, err) << std::strerror(err);
    }
    EXPECT_EQ(c.text, text);
    // The opener alone answers the same for everything it refuses.
    int fd = 7;
    const int opened = ZEPOpenRegular(c.path.c_str(), c.follow, fd);
    if (c.rc != 0 && c.err != EFBIG) {
      EXPECT_EQ(c.rc, opened);
      EXPECT_EQ(-1, fd);
    } else {
      EXPECT_EQ(0, opened);
      EXPECT_GE(fd, 0);
      if (fd >= 0) close(fd);
    }
    // What a message says of the same name (links followed).
    if (c.follow) {
      const std::string why = c.rc == -2                    ? ZEP_NOT_REGULAR
                              : c.rc == 0 || c.err == EFBIG ? "read error"
                                                            : std::strerror(c.err);
      EXPECT_EQ(why, ZEPReadFailure(c.path.c_str()));
    }
  }
  close(s);
  // Kernel files read as 0 bytes long and still hold their text.
  std::string status;
  EXPECT_EQ(0, ZEPLoadSmallFile("/proc/self/status", true, 1 << 16, status));
  EXPECT_NE(std::string::npos, status.find("Pid:"));
  int fd = 7;
  errno = 0;
  EXPECT_EQ(-1, ZEPOpenRegular(nullptr, true, fd));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, fd);
}

// A secret read into a buffer reserved for it stays in that buffer, and a
// refused one is overwritten before the buffer is given back.
TEST(ZEPSmallFileTest, BoundedReadKeepsSecretsInTheReservedBufferAndWipesRefusals) {
  SmallFileDir dir;
  dir.Write("fits", std::string(31, 's'));  // past the string's own room
  dir.Write("big", std::string(40, 's'));
  for (const char* name : {"fits", "big"}) {
    SCOPED_TRACE(name);
    int fd = -1;
    ASSERT_EQ(0, ZEPOpenRegular(dir.Path(name).c_str(), false, fd));
    std::string text;
    text.reserve(32);
    const char* buffer = text.data();
    const int rc = ZEPReadBounded(fd, 31, text);
    close(fd);
    EXPECT_EQ(buffer, text.data()) << "the bytes moved to another buffer";
    if (std::string(name) == "fits") {
      EXPECT_EQ(0, rc);
      EXPECT_EQ(std::string(31, 's'), text);
    } else {
      EXPECT_EQ(-1, rc);
      EXPECT_TRUE(text.empty());
      // The bytes read (one past the limit) are zeros again.
      EXPECT_EQ(std::string(32, '\0'), std::string(buffer, 32)) << "refused bytes are left";
    }
  }
}

TEST(ZEPSmallFileTest, PrivateWriterReplacesPlantedNamesNeverFollowsThem) {
  SmallFileDir dir;
  const std::string path = dir.Path("state");
  const std::string victim = dir.Dir() + "_victim";  // beside the directory
  // A narrow umask would leave the file unreadable to its owner, a wide one
  // readable to others: the mode is 0600 either way.
  const mode_t old = umask(0277);
  for (const zeptest::Plant_tag& plant : zeptest::kPlants) {
    zeptest::PlantAt(path, victim, plant.m_eKind);
    const std::string text = std::string("new\0text ", 9) + plant.m_pszWhat;
    int rc = -1;
    EXPECT_TRUE(zeptest::ReturnsWithin(
        [&] { rc = ZEPSavePrivateFile(path.c_str(), text.data(), text.size()); }, 5000, path))
        << plant.m_pszWhat;
    EXPECT_EQ(0, rc) << plant.m_pszWhat;
    zeptest::ExpectReplaced(path, victim, text, plant.m_pszWhat);
  }
  umask(old);
  unlink(victim.c_str());
}

TEST(ZEPSmallFileTest, FailedSaveLeavesTheOldFileAndNoTemporaryName) {
  SmallFileDir dir;
  const std::string path = dir.Path("state");
  const std::string tmp = path + ZEP_TMP_SUFFIX;
  dir.Write("state", "old");
  struct stat st {};
  // A directory at the temporary name cannot be unlinked.
  ASSERT_EQ(0, mkdir(tmp.c_str(), 0700));
  errno = 0;
  EXPECT_EQ(-1, ZEPSavePrivateFile(path.c_str(), "new", 3));
  EXPECT_NE(0, errno);
  EXPECT_EQ("old", zeptest::ReadAll(path));
  ASSERT_EQ(0, rmdir(tmp.c_str()));
  // A directory at the name: the rename fails, the temporary file goes.
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  errno = 0;
  EXPECT_EQ(-1, ZEPSavePrivateFile(path.c_str(), "new", 3));
  EXPECT_NE(0, errno);
  EXPECT_NE(0, lstat(tmp.c_str(), &st)) << "the temporary file is left";
  // No directory, no path, no bytes where some are promised.
  errno = 0;
  EXPECT_EQ(-1, ZEPSavePrivateFile(dir.Path("none/state").c_str(), "x", 1));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, ZEPSavePrivateFile(nullptr, "x", 1));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, ZEPSavePrivateFile(dir.Path("other").c_str(), nullptr, 1));
  EXPECT_EQ(0, ZEPSavePrivateFile(dir.Path("other").c_str(), nullptr, 0));
  EXPECT_EQ("", zeptest::ReadAll(dir.Path("other")));
}

}  // namespace
