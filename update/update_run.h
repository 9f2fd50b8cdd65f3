// The update run: one press of PROGRAM, on a thread of its own. It searches COM1..COM20 for
// the device, switches the device into its bootloader, runs the DFU tool on the firmware file
// and reports in the log and in message boxes.
#pragma once

// Thread entry for _beginthread; the argument is the main window (the run uses MainWindow).
// Ends its own thread with _endthread.
void __cdecl UpdateRun(void* mainWindow);
