// Small Windows helpers that the tests and the test tools share: UTF-8 text, whole files,
// Unix paths given under Wine, and the clock that the device simulator and the stand-in DFU
// tool stamp their records with.
#pragma once

#include <cstdint>
#include <string>

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// The whole file, or "" when it cannot be opened; others may write or delete it meanwhile.
std::string ReadTextFile(const std::wstring& path);
// Creates or replaces the file; true when all of `text` was written.
bool WriteTextFile(const std::wstring& path, const std::string& text);

// Under Wine a script passes Unix paths; Wine's own converter turns them into DOS paths.
// On Windows the converter does not exist and the path is used as given.
std::wstring DosPath(const wchar_t* path);

// Microseconds since 1970 from the system clock.
int64_t UnixMicrosNow();
