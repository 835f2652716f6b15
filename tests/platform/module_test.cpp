// Module lookup never loads a module nor keeps one loaded; a thread can end
// itself by releasing the module its code lives in.
#include <dlfcn.h>

#include "test_module.h"
#include "test_support.h"

namespace seam_test {
namespace {

bool Loaded(const char* name) {
  void* module = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
  if (module == nullptr) return false;
  dlclose(module);
  return true;
}

TEST(ModuleTest, GetModuleHandleNeverLoadsAModule) {
  ASSERT_FALSE(Loaded(SEAM_TEST_MODULE_PATH));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(L"" SEAM_TEST_MODULE_NAME), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleW(L"" SEAM_TEST_MODULE_PATH), nullptr);
  EXPECT_FALSE(Loaded(SEAM_TEST_MODULE_PATH));
}

TEST(ModuleTest, GetModuleHandleFindsALoadedModuleAndHoldsNoReference) {
  void* loaded = dlopen(SEAM_TEST_MODULE_PATH, RTLD_LAZY);
  ASSERT_NE(loaded, nullptr) << dlerror();
  EXPECT_EQ(GetModuleHandleW(L"" SEAM_TEST_MODULE_NAME), loaded);
  EXPECT_EQ(GetModuleHandleW(L"" SEAM_TEST_MODULE_PATH), loaded);

  FARPROC answer =
      GetProcAddress(GetModuleHandleW(L"" SEAM_TEST_MODULE_NAME), "SeamTestModuleAnswer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(reinterpret_cast<SeamTestModuleAnswerFn>(answer)(), 42);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(loaded, "NoSuchEntry"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(loaded, reinterpret_cast<LPCSTR>(uintptr_t{1})), nullptr);

  ASSERT_EQ(dlclose(loaded), 0);
  EXPECT_FALSE(Loaded(SEAM_TEST_MODULE_PATH)) << "a lookup kept the module loaded";
  EXPECT_EQ(GetModuleHandleW(L"" SEAM_TEST_MODULE_NAME), nullptr);
}

TEST(ModuleTest, NullNameIsTheMainProgram) {
  HMODULE program = GetModuleHandleW(nullptr);
  ASSERT_NE(program, nullptr);
  HMODULE from_address = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&Loaded), &from_address));
  EXPECT_EQ(from_address, program);
  EXPECT_TRUE(FreeLibrary(from_address));
}

// Both lookups take a reference of their own, by an address inside the
// module and by its name; neither loads a module that is not loaded.
TEST(ModuleTest, ReferenceFromAnAddressOrANameKeepsTheModuleUntilFreed) {
  for (const bool byName : {false, true}) {
    SCOPED_TRACE(byName ? "by name" : "by address");
    void* loaded = dlopen(SEAM_TEST_MODULE_PATH, RTLD_LAZY);
    ASSERT_NE(loaded, nullptr) << dlerror();
    void* entry = dlsym(loaded, "SeamTestModuleAnswer");
    ASSERT_NE(entry, nullptr);
    HMODULE module = nullptr;
    ASSERT_TRUE(byName ? GetModuleHandleExW(0, L"" SEAM_TEST_MODULE_NAME, &module)
                       : GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                            static_cast<LPCWSTR>(entry), &module));
    EXPECT_EQ(module, loaded);
    ASSERT_EQ(dlclose(loaded), 0);
    EXPECT_TRUE(Loaded(SEAM_TEST_MODULE_PATH));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(Loaded(SEAM_TEST_MODULE_PATH));
  }
  HMODULE module = reinterpret_cast<HMODULE>(1);
  EXPECT_FALSE(GetModuleHandleExW(0, L"" SEAM_TEST_MODULE_NAME, &module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(module, nullptr);
  EXPECT_FALSE(Loaded(SEAM_TEST_MODULE_PATH));
}

TEST(ModuleTest, FreeLibraryAndExitThreadUnloadsTheThreadsOwnCode) {
  // The thread runs code of the module and holds the last reference on it:
  // the module can only go once the thread's frames in it are gone.
  void* loaded = dlopen(SEAM_TEST_MODULE_PATH, RTLD_LAZY);
  ASSERT_NE(loaded, nullptr) << dlerror();
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(dlsym(loaded, "SeamTestModuleExitThread"));
  ASSERT_NE(start, nullptr);
  ScopedHandle referenced(NewEvent(true, false));
  ScopedHandle go(NewEvent(true, false));
  SeamTestExit exit = {referenced.get(), go.get(), 0x1234};
  ScopedHandle thread(CreateThread(nullptr, 0, start, &exit, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  ASSERT_TRUE(SignalledInTime(referenced.get()));
  ASSERT_EQ(dlclose(loaded), 0);
  ASSERT_TRUE(Loaded(SEAM_TEST_MODULE_PATH));

  ASSERT_TRUE(SetEvent(go.get()));
  ASSERT_TRUE(SignalledInTime(thread.get()));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 0x1234u);
  EXPECT_FALSE(Loaded(SEAM_TEST_MODULE_PATH));
}

// Ends a seam thread through FreeLibraryAndExitThread inside a catch-all
// handler, as a careless exception guard would.
DWORD WINAPI ExitInsideCatchAll(LPVOID) {
  HMODULE program = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&ExitInsideCatchAll), &program);
  try {
    FreeLibraryAndExitThread(program, 1);
  } catch (...) {
  }
  return 0;
}

TEST(ModuleDeathTest, SwallowingTheThreadExitAbortsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        HANDLE thread = CreateThread(nullptr, 0, ExitInsideCatchAll, nullptr, 0, nullptr);
        WaitForSingleObject(thread, kBoundMs);
      },
      "swallowed by a catch-all handler");
}

TEST(ModuleDeathTest, ExitingAThreadNotMadeByCreateThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeLibraryAndExitThread(GetModuleHandleW(nullptr), 1), "not made by CreateThread");
}

}  // namespace
}  // namespace seam_test
