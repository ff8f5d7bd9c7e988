// The process's shared objects as the module bridge sees them.
#include "platform/LoadedModules.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/Process.h"

namespace {

TEST(LoadedModules, SharedObjectNames) {
  struct Case {
    const char16_t* name;
    bool shared;
  };
  const Case cases[] = {
      {u"libx.so", true},   {u"libx.so.1.2", true}, {u"LIBX.SO", true},  {u"x.So.3", true}, {u"x.so.txt", true},
      {u"libx.sox", false}, {u"libx.s", false},     {u"libso", false},   {u"x", false},    {u"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::IsSharedObjectName(c.name), c.shared) << std::u16string(c.name).size();
}

TEST(LoadedModules, ListsModulesInLoadOrderWithTheirOwnExportsOnly) {
  void* full = dlopen(BRIDGE_MODULE_FULL, RTLD_NOW | RTLD_LOCAL);
  void* plain = dlopen(BRIDGE_MODULE_PLAIN, RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(full != nullptr && plain != nullptr) << dlerror();
  std::vector<std::unique_ptr<platform::LoadedModule>> modules;
  ASSERT_TRUE(platform::ListLoadedModules(modules));
  std::u16string executable = platform::ExecutablePath();
  int fullAt = -1, plainAt = -1;
  for (int i = 0; i < static_cast<int>(modules.size()); ++i) {
    EXPECT_NE(modules[i]->Path(), executable);
    if (modules[i]->BaseName() == u"libbridge_module_full.so") fullAt = i;
    if (modules[i]->BaseName() == u"libbridge_module_plain.so") plainAt = i;
  }
  ASSERT_TRUE(fullAt >= 0 && plainAt > fullAt) << fullAt << " " << plainAt;

  const platform::LoadedModule& module = *modules[fullAt];
  void* parse = dlsym(full, "Module_ParseDebugArgEx");
  EXPECT_EQ(module.FindExport("Module_ParseDebugArgEx"), parse);
  EXPECT_TRUE(module.Contains(parse));
  EXPECT_EQ(modules[plainAt]->FindExport("Module_ParseDebugArgEx"), nullptr);
  // dlsym finds malloc through the module's dependencies: not an export of the module.
  EXPECT_NE(dlsym(full, "malloc"), nullptr);
  EXPECT_EQ(module.FindExport("malloc"), nullptr);

  auto containing = platform::ModuleContaining(parse);
  ASSERT_NE(containing, nullptr);
  EXPECT_EQ(containing->Path(), module.Path());
  dlclose(plain);
  dlclose(full);
}

}  // namespace
