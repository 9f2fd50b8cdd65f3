// Identifiers of the program's resources and controls.
#pragma once

#define IDC_PROGRAM 1001
#define IDC_EXIT 1002
#define IDC_ABOUT 1003
#define IDC_LOG 1005
#define IDC_LOGO 1006

#define IDB_LOGO 107
#define IDI_APP 108

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
