#pragma once

// The one window command: opens the About box (F1 and the window's context menu). Widgets carry
// their control's name (IDC_CAPTURE, IDD_ABOUTBOX, ...) as objectName, so that code and tests find
// them by the same name.
constexpr unsigned IDM_ABOUTBOX = 0x0010;
