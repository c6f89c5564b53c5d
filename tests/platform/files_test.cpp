#include "platform/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
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
  };
  const Case cases[] = {
      {"free name: moved", true, false, true},
      {"taken name: both files left as they were", true, true, false},
      {"no source: nothing made", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string from = (dir.path() / "from.log").string();
    const std::string to = (dir.path() / "to.log").string();
    if (c.source) dir.Write("from.log", "new");
    if (c.target) dir.Write("to.log", "old");
    EXPECT_EQ(RenameNoReplace(from, to), c.moved);
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
  int error = 0;
  auto first = NewFile::CreateTemporary(dir.path().string(), "result", error);
  auto second = NewFile::CreateTemporary(dir.path().string(), "result", error);
  ASSERT_TRUE(first && second) << ErrorText(error);
  EXPECT_NE(first->path(), second->path());
  const fs::path name = fs::path(first->path()).filename();
  EXPECT_EQ(fs::path(first->path()).parent_path(), dir.path());
  EXPECT_TRUE(name.string().starts_with(".result")) << name << " is hidden and named for it";

  ASSERT_TRUE(first->Write("<a>", error) && first->Write("</a>\r\n", error)) << ErrorText(error);
  ASSERT_TRUE(first->Finish(error)) << ErrorText(error);
  EXPECT_EQ(ReadFile(final_path), "old result") << "the old file stays until the rename";
  ASSERT_TRUE(RenameReplace(first->path(), final_path, error)) << ErrorText(error);
  EXPECT_EQ(ReadFile(final_path), "<a></a>\r\n");
  EXPECT_FALSE(fs::exists(first->path()));
}

TEST(NewFileTest, ATakenNameOrAMissingSourceIsRefusedWithItsErrno) {
  TempDir dir;
  const std::string taken = dir.Write("taken", "kept").string();
  int error = 0;
  EXPECT_FALSE(NewFile::Create(taken, error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(ReadFile(taken), "kept");

  error = 0;
  EXPECT_FALSE(NewFile::Create((dir.path() / "no-folder" / "x").string(), error));
  EXPECT_EQ(error, ENOENT);

  error = 0;
  EXPECT_FALSE(RenameReplace((dir.path() / "missing").string(), taken, error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(ReadFile(taken), "kept");
}

}  // namespace
}  // namespace ordalen
