// Resource ids of the provider's dialogs and of their string table. Shared
// by csp/res/dialogs.rc (windres) and the C++ code, so plain #defines only.
#pragma once

// Dialog templates (language 3082 only; every text is set at run time).
#define IDD_VORN_PIN 1007
#define IDD_VORN_CHANGEPIN 1005
#define IDD_VORN_ERROR 1017
#define IDD_VORN_READERS 1004

// PIN dialog.
#define IDC_PIN_PROMPT 1021
#define IDC_PIN_LABEL 1020
#define IDC_PIN_EDIT 1024
#define IDC_PIN_TRIES 1022
#define IDC_PIN_CHANGE 1013

// Change-PIN dialog.
#define IDC_CHG_OLD_LABEL 1025
#define IDC_CHG_NEW_LABEL 1026
#define IDC_CHG_CONFIRM_LABEL 1027
#define IDC_CHG_OLD 1009
#define IDC_CHG_NEW 1010
#define IDC_CHG_CONFIRM 1017

// Error dialog.
#define IDC_ERR_MESSAGE 1023

// Reader dialog.
#define IDC_RDR_HEADING 1007
#define IDC_RDR_RADIO1 1002
#define IDC_RDR_RADIO2 1003
#define IDC_RDR_NAME1 1008
#define IDC_RDR_NAME2 1005

// String table (English 1033, Spanish 3082).
#define IDS_ERR_AUTH_TITLE 1
#define IDS_ERR_AUTH_TEXT 2
#define IDS_ERR_BLOCKED_TITLE 3
#define IDS_ERR_BLOCKED_TEXT 4
#define IDS_PIN_PROMPT 5
#define IDS_PIN_LABEL 6
#define IDS_PIN_TITLE 7
#define IDS_PIN_NO_TRIES 8
#define IDS_PIN_TRIES 9
#define IDS_OK 10
#define IDS_CANCEL 11
#define IDS_CHANGE_PIN_BUTTON 12
#define IDS_CHG_TITLE 13
#define IDS_CHG_OLD 14
#define IDS_CHG_NEW 15
#define IDS_CHG_CONFIRM 16
#define IDS_RDR_TITLE 17
#define IDS_RDR_READER1 18
#define IDS_RDR_READER2 19
#define IDS_RDR_HEADING 20
#define IDS_VORN_LAST 20
