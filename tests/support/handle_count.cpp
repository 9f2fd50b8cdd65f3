#include "handle_count.h"

#include <tlhelp32.h>

#include <cstdint>
#include <vector>

namespace {

// Native API layouts; the SDK headers do not declare the extended handle table.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectTypeInformation = 2;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
  PVOID object;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};

struct HandleTable {
  ULONG_PTR numberOfHandles;
  ULONG_PTR reserved;
  HandleEntry handles[1];
};

struct CountedString {
  USHORT length;  // bytes
  USHORT maximumLength;
  PWSTR buffer;
};

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryObjectFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

template <typename Fn>
Fn NtdllFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

// Handle values that process `pid` holds, from one snapshot of the system handle table.
bool SnapshotHandles(DWORD pid, std::vector<HANDLE>* out) {
  static const auto query = NtdllFunction<NtQuerySystemInformationFn>("NtQuerySystemInformation");
  if (!query) return false;
  // The table grows between calls, so retry with room to spare.
  std::vector<uint8_t> buf(256 * 1024);
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG need = 0;
    const LONG status =
        query(kSystemExtendedHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &need);
    if (status == kStatusInfoLengthMismatch) {
      size_t grown = buf.size() * 2;
      if (need + 64 * 1024 > grown) grown = need + 64 * 1024;
      if (grown > 512u * 1024 * 1024) return false;
      buf.assign(grown, 0);
      continue;
    }
    if (status < 0) return false;
    const auto* table = reinterpret_cast<const HandleTable*>(buf.data());
    const size_t capacity = (buf.size() - offsetof(HandleTable, handles)) / sizeof(HandleEntry);
    const size_t count = table->numberOfHandles < capacity ? table->numberOfHandles : capacity;
    out->clear();
    for (size_t i = 0; i < count; ++i) {
      if (table->handles[i].uniqueProcessId == pid) {
        out->push_back(reinterpret_cast<HANDLE>(table->handles[i].handleValue));
      }
    }
    return true;
  }
  return false;
}

bool ProcessExists(DWORD pid) {
  if (pid == GetCurrentProcessId()) return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process) {
    CloseHandle(process);
    return true;
  }
  // Denied access still means the process is there.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

std::wstring TypeNameOf(HANDLE handle) {
  static const auto query = NtdllFunction<NtQueryObjectFn>("NtQueryObject");
  if (!query) return L"?";
  alignas(8) uint8_t buf[1024];
  ULONG need = 0;
  if (query(handle, kObjectTypeInformation, buf, sizeof buf, &need) < 0) return L"?";
  const auto* name = reinterpret_cast<const CountedString*>(buf);
  if (!name->buffer || name->length == 0) return L"?";
  return std::wstring(name->buffer, name->length / sizeof(wchar_t));
}

}  // namespace

int CountProcessHandles(DWORD pid) {
  if (!ProcessExists(pid)) return -1;
  std::vector<HANDLE> handles;
  if (!SnapshotHandles(pid, &handles)) return -1;
  return static_cast<int>(handles.size());
}

std::map<std::wstring, int> HandleTypesOf(DWORD pid) {
  std::map<std::wstring, int> types;
  const bool own = pid == GetCurrentProcessId();
  HANDLE process = own ? GetCurrentProcess() : OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
  if (!process) return types;
  std::vector<HANDLE> handles;
  if (SnapshotHandles(pid, &handles)) {
    for (HANDLE h : handles) {
      if (own) {
        ++types[TypeNameOf(h)];
        continue;
      }
      // Another process's handle is only meaningful through a copy in this process.
      HANDLE copy = nullptr;
      if (DuplicateHandle(process, h, GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS)) {
        ++types[TypeNameOf(copy)];
        CloseHandle(copy);
      } else {
        ++types[L"?"];
      }
    }
  }
  if (!own) CloseHandle(process);
  return types;
}

int CountProcessThreads(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
    entry.dwSize = sizeof entry;
  }
  CloseHandle(snap);
  return count;
}
