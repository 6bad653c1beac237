// The dispatch identifiers of the Excel members the runtime calls, by object. Excel's objects are
// called late-bound through IDispatch with these fixed identifiers; names are never looked up.
#pragma once

#include <windows.h>

namespace cwbk::dispid {

// Members every collection (and every control) answers.
namespace collection {
inline constexpr DISPID Count = 0x0076;
inline constexpr DISPID Item = 0x00AA;
inline constexpr DISPID NewEnum = -4;
inline constexpr DISPID StockCaption = -518;
} // namespace collection

// Members shared by most objects.
namespace common {
inline constexpr DISPID Application = 0x0094;
inline constexpr DISPID Parent = 0x0096;
inline constexpr DISPID Delete = 0x0075;
inline constexpr DISPID Name = 0x006E;
} // namespace common

namespace application {
inline constexpr DISPID Evaluate = 0x0001;
inline constexpr DISPID Caption = 0x008B;
inline constexpr DISPID Selection = 0x0093;
inline constexpr DISPID Application = 0x0094;
inline constexpr DISPID Parent = 0x0096;
inline constexpr DISPID Run = 0x0103;
inline constexpr DISPID Calculate = 0x0117;
inline constexpr DISPID Quit = 0x012E;
inline constexpr DISPID ActiveSheet = 0x0133;
inline constexpr DISPID ActiveWorkbook = 0x0134;
inline constexpr DISPID Calculation = 0x013C;
inline constexpr DISPID DDEInitiate = 0x014E;
inline constexpr DISPID DDERequest = 0x0150;
inline constexpr DISPID DDETerminate = 0x0151;
inline constexpr DISPID DisplayAlerts = 0x0157;
inline constexpr DISPID IgnoreRemoteRequests = 0x0164;
inline constexpr DISPID Iteration = 0x016B;
inline constexpr DISPID MaxChange = 0x0170;
inline constexpr DISPID MaxIterations = 0x0171;
inline constexpr DISPID ScreenUpdating = 0x017E;
inline constexpr DISPID Version = 0x0188;
inline constexpr DISPID WindowState = 0x018C;
inline constexpr DISPID Windows = 0x01AE;
inline constexpr DISPID Sheets = 0x01E5;
inline constexpr DISPID AddIns = 0x0225;
inline constexpr DISPID Visible = 0x022E;
inline constexpr DISPID Workbooks = 0x023C;
inline constexpr DISPID OnTime = 0x0270;
inline constexpr DISPID OnEntry = 0x0273;
inline constexpr DISPID Dialogs = 0x02F9;
inline constexpr DISPID Intersect = 0x02FE;
inline constexpr DISPID OnUndo = 0x0302;
// An integer application setting saved and restored around start-up, shutdown and the creation of
// a secondary instance.
inline constexpr DISPID SavedSetting = 0x04AC;
inline constexpr DISPID DefaultSaveFormat = 0x04B9;
inline constexpr DISPID UserControl = 0x04BA;
inline constexpr DISPID EnableEvents = 0x04BC;
inline constexpr DISPID CommandBars = 0x059F;
inline constexpr DISPID WorksheetFunction = 0x05A0;
inline constexpr DISPID LanguageSettings = 0x0709;
inline constexpr DISPID CalculateFull = 0x070D;
inline constexpr DISPID Hwnd = 0x079E;
inline constexpr DISPID ActiveChart = 0x00B7;
} // namespace application

namespace workbooks {
inline constexpr DISPID Add = 0x00B5;
inline constexpr DISPID Open = 0x02AA;
} // namespace workbooks

namespace workbook {
inline constexpr DISPID Name = 0x006E;
inline constexpr DISPID Close = 0x0115;
inline constexpr DISPID Protect = 0x011A;
inline constexpr DISPID Save = 0x011B;
inline constexpr DISPID SaveAs = 0x011C;   // the form before the argument Local was added
inline constexpr DISPID SaveAsLocal = 0x0785;
inline constexpr DISPID SaveCopyAs = 0x00AF;
inline constexpr DISPID Path = 0x0123;
inline constexpr DISPID Unprotect = 0x011D;
inline constexpr DISPID FileFormat = 0x0120;
inline constexpr DISPID FullName = 0x0121;
inline constexpr DISPID Saved = 0x012A;
inline constexpr DISPID Date1904 = 0x0193;
inline constexpr DISPID Password = 0x01AD;
inline constexpr DISPID Sheets = 0x01E5;
inline constexpr DISPID Worksheets = 0x01EE;
// Password encryption options: provider text, algorithm text, key length, encrypt properties.
inline constexpr DISPID SetPasswordEncryptionOptions = 0x080E;
// A workbook method of 15 arguments and a text property, both kept away from the application's
// workbook.
inline constexpr DISPID FifteenArgumentMethod = 0x0806;
inline constexpr DISPID GuardedText = 0x049A;
} // namespace workbook

namespace sheets {
inline constexpr DISPID Worksheets = 0x01EE;
} // namespace sheets

namespace worksheet {
inline constexpr DISPID Type = 0x006C;
inline constexpr DISPID Name = 0x006E;
inline constexpr DISPID Calculate = 0x0117;
inline constexpr DISPID Range = 0x00C5;
inline constexpr DISPID ProtectShort = 0x011A; // the Protect of Excel versions before 10
inline constexpr DISPID Unprotect = 0x011D;
inline constexpr DISPID ProtectContents = 0x0124;
inline constexpr DISPID ProtectDrawingObjects = 0x0125;
inline constexpr DISPID Activate = 0x0130;
inline constexpr DISPID UsedRange = 0x019C;
inline constexpr DISPID Index = 0x01E6;
inline constexpr DISPID CodeName = 0x055D;
inline constexpr DISPID Shapes = 0x0561;
inline constexpr DISPID EnableSelection = 0x0591;
inline constexpr DISPID QueryTables = 0x059A;
inline constexpr DISPID Protect = 0x07ED;
inline constexpr DISPID Copy = 0x0227;
inline constexpr DISPID Move = 0x027D;
// The Type of a worksheet (charts and macro sheets answer other values).
inline constexpr long TypeWorksheet = -4167;
} // namespace worksheet

namespace range {
inline constexpr DISPID Value = 0x0006;
inline constexpr DISPID Delete = 0x0075;
inline constexpr DISPID Count = 0x0076;
inline constexpr DISPID Interior = 0x0081;
inline constexpr DISPID Orientation = 0x0086;
inline constexpr DISPID HorizontalAlignment = 0x0088;
inline constexpr DISPID VerticalAlignment = 0x0089;
inline constexpr DISPID Font = 0x0092;
inline constexpr DISPID Item = 0x00AA;
inline constexpr DISPID NumberFormat = 0x00C1;
inline constexpr DISPID ShrinkToFit = 0x00D1;
inline constexpr DISPID Select = 0x00EB;
inline constexpr DISPID Address = 0x00EC;
inline constexpr DISPID Formula = 0x0105;
inline constexpr DISPID HasFormula = 0x010B;
inline constexpr DISPID WrapText = 0x0114;
inline constexpr DISPID Calculate = 0x0117;
inline constexpr DISPID Worksheet = 0x015C;
inline constexpr DISPID Borders = 0x01B3;
inline constexpr DISPID PrecedentAreas = 0x0222;
inline constexpr DISPID Areas = 0x0238;
inline constexpr DISPID Value2 = 0x056C;
inline constexpr DISPID Hyperlinks = 0x0571;
// The cell count as a double (version 12 on): Count overflows on a whole sheet.
inline constexpr DISPID CountLarge = 0x09C3;
} // namespace range

// Interior, Font, Borders and Border.
namespace format {
inline constexpr DISPID Pattern = 0x005F;
inline constexpr DISPID ColorIndex = 0x0061;
inline constexpr DISPID PatternColorIndex = 0x0062;
inline constexpr DISPID Color = 0x0063;
inline constexpr DISPID PatternColor = 0x0064;
inline constexpr DISPID LineStyle = 0x0077;
inline constexpr DISPID Weight = 0x0078;
} // namespace format

namespace hyperlinks {
inline constexpr DISPID Add = 0x00B5;
} // namespace hyperlinks

namespace hyperlink {
inline constexpr DISPID Delete = 0x0075;
inline constexpr DISPID Address = 0x00EC;
inline constexpr DISPID TextProperty = 0x0254;
inline constexpr DISPID SubAddress = 0x05BF;
inline constexpr DISPID ObjectProperty = 0x062E;
inline constexpr DISPID TextToDisplay = 0x075A;
} // namespace hyperlink

namespace queryTable {
inline constexpr DISPID StateA = 0x0633;
inline constexpr DISPID StateB = 0x05C7;
inline constexpr DISPID Refresh = 0x0589;
} // namespace queryTable

namespace dialog {
inline constexpr DISPID Show = 0x01F0;
} // namespace dialog

namespace languageSettings {
// LanguageID(which); which = 2 asks for the user-interface language.
inline constexpr DISPID LanguageID = 0x0001;
inline constexpr long UserInterface = 2;
} // namespace languageSettings

// Values of Excel's enumerations that the runtime writes.
namespace constant {
inline constexpr long CalculationManual = -4135;
inline constexpr long CalculationAutomatic = -4105;
inline constexpr long CalculationSemiautomatic = 2;
inline constexpr long WindowMaximized = -4137;
} // namespace constant

// The Office command bars behind Excel's menus (DISPIDs of the Office library).
namespace commandBars {
inline constexpr DISPID Item = 0; // by name
inline constexpr DISPID Add = 0x60030002;
inline constexpr DISPID Count = 0x60030003;
} // namespace commandBars
namespace commandBarControls {
inline constexpr DISPID Item = 0; // by position
inline constexpr DISPID Add = 0x60030000;
inline constexpr DISPID Count = 0x60030001;
} // namespace commandBarControls
namespace commandBar {
inline constexpr DISPID Controls = 0x60040003;
inline constexpr DISPID FindControl = 0x60040007;
} // namespace commandBar
namespace commandBarControl {
inline constexpr DISPID Caption = 0x60040003;
inline constexpr DISPID Delete = 0x60040007;
inline constexpr DISPID Enabled = 0x6004000A;
inline constexpr DISPID Index = 0x60040014;
inline constexpr DISPID OnAction = 0x6004001A;
inline constexpr DISPID Tag = 0x60040023;
inline constexpr DISPID Visible = 0x60040029;
// A popup's own command bar and its controls.
inline constexpr DISPID CommandBar = 0x60050000;
inline constexpr DISPID Controls = 0x60050001;
} // namespace commandBarControl

} // namespace cwbk::dispid

namespace cwbk {

// Locales passed to Invoke: 0 by the dispatch routine, the system default by direct invokes, the
// user default to Excel's own implementations, US English for formulas in English syntax.
inline constexpr LCID kLocaleNeutral = 0;
inline constexpr LCID kLocaleSystemDefault = 0x0800;
inline constexpr LCID kLocaleUserDefault = 0x0400;
inline constexpr LCID kLocaleEnglish = 0x0409;

} // namespace cwbk
