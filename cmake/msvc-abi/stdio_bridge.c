/* mingw-w64's headers serve two runtimes. With libstdc++'s headers on top
 * they route printf and friends to the __mingw_* functions and reach the
 * standard streams through __acrt_iob_func, and declare wmem* without
 * defining them; msvcrt.dll has none of these. Each is forwarded here to what
 * msvcrt.dll does export. */
#define _CRTIMP /* this file defines __acrt_iob_func, which stdio.h imports */
/* msvcrt's own vfprintf and the like here, or each would call itself. */
#define __USE_MINGW_ANSI_STDIO 0
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* msvcrt's array of the three standard FILE records, reached through its
 * import address entry. */
extern FILE (*msvcrtStreams)[] __asm__("__imp___iob");

FILE* __cdecl __acrt_iob_func(unsigned index) { return &(*msvcrtStreams)[index]; }

int __cdecl __mingw_vfprintf(FILE* stream, const char* format, va_list arguments) {
  return vfprintf(stream, format, arguments);
}

/* C99 semantics: the output is always terminated and the return value is the
 * length the whole text would have had, which msvcrt's _vsnprintf does not
 * give for a short buffer. */
int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
  va_list copy;
  int length;
  va_copy(copy, arguments);
  length = _vscprintf(format, copy);
  va_end(copy);
  if (size > 0) {
    _vsnprintf(buffer, size - 1, format, arguments);
    buffer[size - 1] = '\0';
  }
  return length;
}

int __cdecl __mingw_vsprintf(char* buffer, const char* format, va_list arguments) {
  return vsprintf(buffer, format, arguments);
}

wchar_t* __cdecl wmemcpy(wchar_t* target, const wchar_t* source, size_t count) {
  return (wchar_t*)memcpy(target, source, count * sizeof(wchar_t));
}

wchar_t* __cdecl wmemmove(wchar_t* target, const wchar_t* source, size_t count) {
  return (wchar_t*)memmove(target, source, count * sizeof(wchar_t));
}

wchar_t* __cdecl wmemset(wchar_t* target, wchar_t value, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i) target[i] = value;
  return target;
}

wchar_t* __cdecl wmemchr(const wchar_t* text, wchar_t value, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i) {
    if (text[i] == value) return (wchar_t*)&text[i];
  }
  return NULL;
}

int __cdecl wmemcmp(const wchar_t* left, const wchar_t* right, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i) {
    if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
  }
  return 0;
}
