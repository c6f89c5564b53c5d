#include "platform/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "support/process.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;

TEST(RenameNoReplaceTest, MovesOnlyOntoAFreeName) {
  struct Case {
    const char* what;
    bool source;  // the source exists
    bool target;  // the target name is taken
    bool moved;
    int code;  // errno when not moved
  };
  const Case cases[] = {
      {"free name: moved", true, false, true, 0},
      {"taken name: both files left as they were", true, true, false, EEXIST},
      {"no source: nothing made", false, false, false, ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string from = (dir.path() / "from.log").string();
    const std::string to = (dir.path() / "to.log").string();
    if (c.source) dir.Write("from.log", "new");
    if (c.target) dir.Write("to.log", "old");
    OsError error;
    EXPECT_EQ(RenameNoReplace(from, to, &error), c.moved);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.kind, c.moved ? OsErrorKind::kNone : OsErrorKind::kRename);
    EXPECT_EQ(fs::exists(from), c.source && !c.moved);
    EXPECT_EQ(fs::exists(to), c.moved || c.target);
    if (c.moved) {
      EXPECT_EQ(ReadFile(to), "new");
    }
    if (c.target) {
      EXPECT_EQ(ReadFile(to), "old");
    }
  }
}

TEST(NewFileTest, ATemporaryFileWrittenWholeReplacesTheOldOneInOneStep) {
  TempDir dir;
  const std::string final_path = (dir.path() / "result.xml").string();
  dir.Write("result.xml", "old result");
  OsError error;
  auto first = NewFile::CreateTemporary(dir.path().string(), "result", &error);
  auto second = NewFile::CreateTemporary(dir.path().string(), "result", &error);
  ASSERT_TRUE(first && second) << error.message;
  EXPECT_NE(first->path(), second->path());
  const fs::path name = fs::path(first->path()).filename();
  EXPECT_EQ(fs::path(first->path()).parent_path(), dir.path());
  EXPECT_TRUE(name.string().starts_with(".result")) << name << " is hidden and named for it";

  ASSERT_TRUE(first->Write("<a>", &error) && first->Write("</a>\r\n", &error)) << error.message;
  ASSERT_TRUE(first->Finish(&error)) << error.message;
  EXPECT_EQ(ReadFile(final_path), "old result") << "the old file stays until the rename";
  ASSERT_TRUE(RenameReplace(first->path(), final_path, &error)) << error.message;
  EXPECT_EQ(ReadFile(final_path), "<a></a>\r\n");
  EXPECT_FALSE(fs::exists(first->path()));
}

// Each failure names the kind of call, its errno, and what failed with the
// system's text for it.
TEST(FileErrorTest, AFailureSaysWhichCallFailedWithItsErrnoAndWhat) {
  TempDir dir;
  const std::string taken = dir.Write("taken", "kept").string();
  const std::string missing = (dir.path() / "no-folder" / "x").string();
  std::optional<LockedAppendFile> holder = LockedAppendFile::TryOpen(taken, nullptr);
  ASSERT_TRUE(holder);
  struct Case {
    const char* what;
    std::function<bool(OsError*)> call;  // true when it succeeded
    OsErrorKind kind;
    int code;
    std::string message;  // before ": <system text>"
  };
  const Case cases[] = {
      {"create a taken name", [&](OsError* e) { return NewFile::Create(taken, e).has_value(); },
       OsErrorKind::kOpen, EEXIST, "create " + taken},
      {"create in a missing folder",
       [&](OsError* e) { return NewFile::Create(missing, e).has_value(); }, OsErrorKind::kOpen,
       ENOENT, "create " + missing},
      {"temporary file in a missing folder",
       [&](OsError* e) {
         return NewFile::CreateTemporary((dir.path() / "no-folder").string(), "r", e).has_value();
       },
       OsErrorKind::kOpen, ENOENT, "create "},
      {"rename a missing file", [&](OsError* e) { return RenameReplace(missing, taken, e); },
       OsErrorKind::kRename, ENOENT, "rename " + missing + " to " + taken},
      {"read a missing file", [&](OsError* e) { return ReadWholeFile(missing, e).has_value(); },
       OsErrorKind::kOpen, ENOENT, "open " + missing},
      {"read a folder",
       [&](OsError* e) { return ReadWholeFile(dir.path().string(), e).has_value(); },
       OsErrorKind::kRead, EISDIR, "read " + dir.path().string()},
      {"append to a file whose lock another opener holds",
       [&](OsError* e) { return LockedAppendFile::TryOpen(taken, e).has_value(); },
       OsErrorKind::kLock, EWOULDBLOCK, "flock " + taken},
      {"append in a missing folder",
       [&](OsError* e) { return LockedAppendFile::TryOpen(missing, e).has_value(); },
       OsErrorKind::kOpen, ENOENT, "open " + missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OsError error;
    EXPECT_FALSE(c.call(&error));
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.code, c.code);
    EXPECT_TRUE(error.message.starts_with(c.message)) << error.message;
    EXPECT_TRUE(error.message.ends_with(": " + SystemErrorText(c.code))) << error.message;
    EXPECT_EQ(IsLockHeld(error), c.kind == OsErrorKind::kLock);
  }
  EXPECT_EQ(ReadFile(taken), "kept");
}

}  // namespace
}  // namespace ordalen
