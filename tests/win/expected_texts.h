// The program's own texts, as the tests expect to see them: log lines, box texts and title.
#pragma once

#include <string>

inline const std::wstring ERROR_TITLE = L"PSU Updater: Error";
inline const std::wstring VERSION_LINE = L"FWUpdater Version: 1.5\n";
inline const std::wstring BURNING = L"Burning in Progress.\n Do not unplug.\n";
inline const std::wstring COMPLETE_1 = L"Programming complete.\n";
inline const std::wstring COMPLETE_2 = L"Remove and reconnect the device.\n";
inline const std::wstring FAILED_1 = L"Programming failed. This might be because the Tavrolin device\n";
inline const std::wstring FAILED_2 = L"is not connected or the DFU device driver has not been installed.\n";
inline const std::wstring NOT_FOUND_BOX =
    L"No Velmoral Tavrolin device detected. This might be because the Tavrolin device is not "
    L"connected or the DFU device driver has not been installed.";
inline const std::wstring FAILED_BOX =
    L"Programming failed. This might be because the Tavrolin device is not connected or the DFU "
    L"device driver has not been installed.";
inline const std::wstring LAUNCH_BOX = L"Failed to find DfuSeCommand.exe or firmware file.";
