// Resource identifiers of Kestrelink.exe.
#pragma once
#define IDR_MAINFRAME 2       // application icon and frame title
#define IDD_ABOUTBOX 100
#define IDI_KL_EMPTY 108      // watched reader, no card
#define IDI_KL_SPARE 109      // present among the resources, never shown
#define IDI_KL_FAILED 110     // not a VORN card, or reading / import failed
#define IDI_KL_DONE 127       // the card's certificates are in the stores
#define IDI_KL_READING 138    // a VORN card is being read
#define IDC_ABOUT_TEXT 1000
#define ID_APP_ABOUT 57664
#define ID_APP_EXIT 57665
#define AFX_IDS_APP_TITLE 57344
#define AFX_IDS_IDLEMESSAGE 57345
