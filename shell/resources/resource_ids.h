/* Resource and control numbers shared by orvane.rc and the Win32 dialog. */
#pragma once

#define IDB_IDLE_FACE 101
#define IDD_MAIN 102
#define IDI_APP 104
#define IDB_BUSY_FACE 109

#define IDC_UPGRADE 1000
#define IDC_PROGRESS 1002
#define IDC_PORT 1003
#define IDC_IMAGE_NAME 1004
#define IDC_STATUS 1005
#define IDC_FONT_BOX 1008
