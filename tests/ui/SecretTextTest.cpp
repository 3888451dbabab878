// A password typed into an edit control, key by key, then replaced and the
// control destroyed: no block of memory handed back to the allocator holds
// any part of it. The test's own operator new and delete look into every
// block freed while the check is on (a program of its own for that).
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/ui.h"

namespace {

// Typed without ever becoming a text of the test's own.
constexpr char16_t kPassword[] = u"Qz8#Kp2!Wm5$Rt7%Yx";
constexpr size_t kPasswordLength = sizeof kPassword / sizeof kPassword[0] - 1;

std::atomic<bool> gWatching{false};
std::atomic<int> gLeftovers{0};

// Any four consecutive characters of the password in UTF-16.
bool holdsPart(const void* block, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  constexpr size_t part = 4 * sizeof(char16_t);
  for (size_t start = 0; start + 4 <= kPasswordLength; ++start) {
    const void* pattern = kPassword + start;
    if (size >= part && memmem(bytes, size, pattern, part) != nullptr) return true;
  }
  return false;
}

void release(void* p) noexcept {
  if (p != nullptr && gWatching.load() && holdsPart(p, malloc_usable_size(p))) ++gLeftovers;
  std::free(p);
}

void* take(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n) { return take(n); }
void* operator new[](size_t n) { return take(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

TEST(SecretText, APasswordEditLeavesNoCopyInFreedMemory) {
  for (DWORD style : {DWORD(ES_PASSWORD), DWORD(0)}) {
    SCOPED_TRACE(style);
    gLeftovers = 0;
    gWatching = true;
    HWND edit = CreateWindowExW(0, u"EDIT", u"", WS_POPUP | ES_AUTOHSCROLL | style, 0, 0, 200, 20, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    for (size_t i = 0; i < kPasswordLength; ++i) SendMessageW(edit, WM_CHAR, kPassword[i], 0);
    WCHAR read[64] = {};
    ASSERT_EQ(GetWindowTextW(edit, read, 64), static_cast<int>(kPasswordLength));
    EXPECT_EQ(std::memcmp(read, kPassword, sizeof kPassword), 0);
    std::memset(read, 0, sizeof read);
    // Back to a shorter text, typed over and emptied: the text's old room
    // holds nothing of the password either.
    SetWindowTextW(edit, u"1");
    SendMessageW(edit, WM_CHAR, kPassword[0], 0);
    SetWindowTextW(edit, u"");
    for (size_t i = 0; i < kPasswordLength; ++i) SendMessageW(edit, WM_CHAR, kPassword[i], 0);
    DestroyWindow(edit);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    gWatching = false;
    // A plain edit's text is no secret and is copied freely: the check sees
    // those copies.
    if (style == ES_PASSWORD)
      EXPECT_EQ(gLeftovers.load(), 0);
    else
      EXPECT_GT(gLeftovers.load(), 0);
  }
}
