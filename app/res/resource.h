#pragma once

// Resource and control ids of the two dialogs. Widgets carry the control id's name as their
// objectName, so that code and tests find them by the same name.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_MAIN_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;
constexpr unsigned IDM_ABOUTBOX = 0x0010;
constexpr int IDC_SENT_COUNTER = 1000;
constexpr int IDC_CAPTURE = 1001;
constexpr int IDC_STOP = 1002;
constexpr int IDC_RECV_COUNTER = 1003;
constexpr int IDC_FILTER = 1005;
constexpr int IDC_PROMISCUOUS = 1006;
constexpr int IDC_LINK = 1007;
