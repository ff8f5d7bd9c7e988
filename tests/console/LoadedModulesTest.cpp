// The process's shared objects as the module bridge sees them.
#include "platform/LoadedModules.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Process.h"

namespace {

TEST(LoadedModules, SharedObjectNames) {
  for (const char16_t* name : {u"libx.so", u"libx.so.1.2", u"LIBX.SO", u"x.So.3", u"x.so.txt"})
    EXPECT_TRUE(platform::IsSharedObjectName(name)) << std::u16string(name).size();
  for (const char16_t* name : {u"libx.sox", u"libx.s", u"libso", u""})
    EXPECT_FALSE(platform::IsSharedObjectName(name)) << std::u16string(name).size();
}

TEST(LoadedModules, TheExecutableIsNoModuleAndDependenciesExportNothingForIt) {
  void* full = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW);
  ASSERT_NE(full, nullptr) << dlerror();
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  const platform::LoadedModule* module = nullptr;
  for (const auto& each : modules) {
    EXPECT_NE(each->Path(), platform::ExecutablePath());
    if (each->BaseName() == u"libbridge_module_full.so") module = each.get();
  }
  ASSERT_NE(module, nullptr);
  void* parse = dlsym(full, "Module_ParseDebugArgEx");
  EXPECT_EQ(module->FindExport("Module_ParseDebugArgEx"), parse);
  // dlsym finds malloc through the module's dependencies: not an export of the module.
  EXPECT_NE(dlsym(full, "malloc"), nullptr);
  EXPECT_EQ(module->FindExport("malloc"), nullptr);
  auto containing = platform::ModuleContaining(parse);
  ASSERT_NE(containing, nullptr);
  EXPECT_EQ(containing->Path(), module->Path());
  dlclose(full);
}

TEST(LoadedModules, AnObjectOpenedByARelativePathIsListedAndTheVdsoNever) {
  std::filesystem::path module(BRIDGE_MODULE_PLAIN);
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(module.parent_path());
  void* plain = dlopen(("./" + module.filename().string()).c_str(), RTLD_NOW);
  std::filesystem::current_path(before);
  ASSERT_NE(plain, nullptr) << dlerror();
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  bool listed = false;
  for (const auto& each : modules) {
    listed = listed || each->BaseName() == module.filename().u16string();
    EXPECT_EQ(each->BaseName().find(u"vdso"), std::u16string::npos);
  }
  EXPECT_TRUE(listed);
  dlclose(plain);
}

}  // namespace
