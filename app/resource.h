// Resource identifiers of the installer dialog, its controls and the icon;
// the catalogue numbers come from messages.h.
#pragma once

#include "messages.h"

#define IDD_INSTALLER 101

#define IDC_LOCATION 1002
#define IDC_NAME 1003
#define IDC_NAME_LABEL 1008
#define IDC_LOCATION_LABEL 1009
#define IDC_INSTALL 1010
#define IDC_REMOVE 1011
#define IDC_START_AUTO 1012
#define IDC_START_MANUAL 1013
#define IDC_OK 1014
#define IDC_EXIT 1015

#define IDI_QUAYKIT_NAME "QUAYKIT"
