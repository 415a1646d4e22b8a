// Resource numbers of the filter module.
#pragma once

#define IDS_PROJNAME 100   // the module's name
#define IDR_SPYFILTER 101  // registry script of the spy filter's class
#define IDR_SPYFILTERPP 102 // registry script of the property page's class
#define IDD_SPYFILTERPP 103 // dialog of the property page
#define IDS_TITLESpyFilterPP 104      // title of the property page
#define IDS_HELPFILESpyFilterPP 105   // help file of the property page (not reported)
#define IDS_DOCSTRINGSpyFilterPP 106  // doc string of the property page (not reported)
#define IDR_ABOUTSPYFILTER 107 // registry script of the About page's class
#define IDS_TITLEAboutSpyFilter 108   // title of the About page
#define IDD_ABOUTSPYFILTER 109 // dialog of the About page

// Controls of the property page.
#define IDC_BITRATE_CURRENT 201
#define IDC_BITRATE_AVERAGE 202
#define IDC_DISABLE_MTENUM 203
#define IDC_DYN_RECONNECT 204
#define IDC_CAPTURE_FRAME 205
#define IDC_RATE_SLIDER 206
#define IDC_FORCE_PASSTHRU 207
#define IDC_POSITION 208
#define IDC_BACKWARD 209
#define IDC_RATE_TEXT 210

// The About page: its banner and controls.
#define IDB_ABOUT_BANNER 300
#define IDC_ABOUT_NAME 301
#define IDC_ABOUT_VERSION 302
#define IDC_ABOUT_MAKER_URL 303
#define IDC_ABOUT_SUPPORT_URL 304
#define IDC_ABOUT_NOTICE 305
