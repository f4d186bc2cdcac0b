// The choice of mode from the first argument alone.
#include <gtest/gtest.h>

#include <string>

#include "core/constants.h"
#include "tests/host/machine.h"

namespace {

enum Mode { kInstall, kWorker, kLauncher };

Mode ModeOf(const std::string& arguments) {
  machine::Prepare();
  sim::QueueAnswers({IDNO, IDOK});
  sim::Exit exit = machine::RunTool(arguments);
  EXPECT_EQ(exit.code, 0u) << arguments;
  EXPECT_FALSE(sim::Boxes().empty()) << arguments;
  if (sim::Boxes().empty()) return kLauncher;
  const sim::Box& first = sim::Boxes()[0];
  if (first.text == StartupQuestion) return kInstall;
  if (first.text == UninstallConfirmation) {
    EXPECT_EQ(sim::Boxes().size(), 1u) << arguments;  // declined: nothing else
    return kLauncher;
  }
  EXPECT_EQ(first.caption, UninstallCaption) << arguments;
  return kWorker;
}

TEST(Dispatch, FirstArgumentChoosesTheMode) {
  struct Case {
    const char* arguments;
    Mode mode;
  } cases[] = {
      {"", kLauncher},
      {"/INSTALL", kInstall},
      {"/REMOVE", kWorker},
      {"/install", kLauncher},
      {"/remove", kLauncher},
      {"/INSTALL2", kLauncher},
      {"/REMOVEX", kLauncher},
      {"\"\"", kLauncher},
      {"/REMOVE /INSTALL", kWorker},
      {"/INSTALL /REMOVE", kInstall},
      {"\t /INSTALL", kInstall},
      {"\"/INSTALL\"", kInstall},
      {"' /INSTALL'", kLauncher},
      {"anything else", kLauncher},
  };
  for (const Case& c : cases) EXPECT_EQ(ModeOf(c.arguments), c.mode) << c.arguments;
}

}  // namespace
