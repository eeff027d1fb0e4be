#pragma once

// The one add-in that both programs put into service and take out again.
inline constexpr wchar_t AddInFileName[] = L"Larkspan.xla";
// Its title in Excel's add-in list; the uninstall program looks it up by this.
inline constexpr wchar_t AddInTitle[] = L"Zorvik Larkspan";
// Excel's automation identity; both programs start a new instance from it.
inline constexpr wchar_t ExcelProgId[] = L"Excel.Application";
