#pragma once

#define IDC_START 1000
#define IDC_BROWSE 1001
#define IDC_MINIMAL 1002
#define IDC_NORMAL 1003
#define IDC_PATH 1004
#define IDC_STATUS 1007
