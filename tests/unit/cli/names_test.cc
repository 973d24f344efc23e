// The name maps between option words, enumerations and request texts.
#include <gtest/gtest.h>

#include "cli/cli_managelocal.h"

namespace {

TEST(NameMaps, ListTypeWordsAreExactAndCaseSensitive) {
  const std::pair<const char *, ListType> cases[] = {
      {"all", LIST_ALL},        {"visible", LIST_VISIBLE}, {"remove", LIST_REMOVE}, {"ALL", LIST_INVALID},
      {"Visible", LIST_INVALID}, {"all ", LIST_INVALID},   {"", LIST_INVALID},       {"removed", LIST_INVALID},
  };
  for (const auto &[text, type] : cases) EXPECT_EQ(ParseListType(text), type) << text;
  EXPECT_EQ(ParseListType(nullptr), LIST_INVALID);
}

TEST(NameMaps, NamesOfEveryValueAndEmptyOutsideTheRange) {
  EXPECT_EQ(ListTypeName(LIST_ALL), "all");
  EXPECT_EQ(ListTypeName(LIST_VISIBLE), "visible");
  EXPECT_EQ(ListTypeName(LIST_REMOVE), "remove");
  EXPECT_EQ(ListTypeName(LIST_INVALID), "");
  EXPECT_EQ(ListTypeName(static_cast<ListType>(-1)), "");
  EXPECT_EQ(CategoryName(CATEGORY_USER), "user");
  EXPECT_EQ(CategoryName(CATEGORY_GROUP), "group");
  EXPECT_EQ(CategoryName(CATEGORY_NONE), "");
  EXPECT_EQ(ActionOptionName(ACTION_STATUS), "--status");
  EXPECT_EQ(ActionOptionName(ACTION_RELOAD), "--reload");
  EXPECT_EQ(ActionOptionName(ACTION_LIST), "--list");
  EXPECT_EQ(ActionOptionName(ACTION_NONE), "");
  EXPECT_EQ(CategoryOptionName(CATEGORY_USER), "--user");
  EXPECT_EQ(CategoryOptionName(CATEGORY_GROUP), "--group");
  EXPECT_EQ(CategoryOptionName(CATEGORY_NONE), "");
}

TEST(ManageSwitch, OnlyTrueYesAndOneInAnyCaseEnable) {
  for (const char *on : {"true", "TRUE", "Yes", "yes", "1"}) EXPECT_TRUE(IsManageSwitchEnabled(on)) << on;
  for (const char *off : {"y", "on", "enabled", "", "false", "no", "0", " true", "2"}) {
    EXPECT_FALSE(IsManageSwitchEnabled(off)) << off;
  }
}

}  // namespace
