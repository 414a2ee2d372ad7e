// SPDX-License-Identifier: GPL-3.0-or-later
// The window's layout table.
#include "ui/form_layout.h"

#include "codec/default_request.h"

namespace form {

namespace {
constexpr Kind F = Kind::Frame;
constexpr Kind L = Kind::Label;
constexpr Kind T = Kind::TextBox;
constexpr Kind O = Kind::Option;
constexpr Kind B = Kind::Button;
constexpr const char* W = nullptr; // stands on the window itself
constexpr int kButtonTop = 6840, kButtonWidth = 1095, kButtonHeight = 375;
} // namespace

// clang-format off
const std::array<ControlRow, 59> kControls = {{
    // name             kind container       text                             limit enabled selected left  top   width height tab
    {"frmTCP",          F, W,               "TCP/IP",                          0, true,  false,  240,  120, 6255,  855,  0},
    {"frmReqHeader",    F, W,               "Request Header",                  0, true,  false,  240, 1080, 3015, 2055,  1},
    {"Frame2",          F, W,               "Response Header",                 0, true,  false, 3480, 1080, 3015, 2055, 41},
    {"Frame3",          F, W,               "Request",                         0, true,  false,  240, 3240, 6255, 1575,  2},
    {"Frame1",          F, W,               "Response",                        0, true,  false,  240, 4920, 6255, 1455, 22},

    {"lblIP",           L, "frmTCP",        "Remote IP Address",               0, true,  false,  240,  240, 1365,  195,  3},
    {"txtIpAdd",        T, "frmTCP",        kDefaultAddress,                   0, true,  false,  240,  480, 1815,  300,  4},
    {"Label1",          L, "frmTCP",        "Protocol",                        0, true,  false, 3480,  240, 1695,  255, 13},
    {"optTCP",          O, "frmTCP",        "TCP",                             0, true,  true,  3480,  480,  855,  255,  5},
    {"optUDP",          O, "frmTCP",        "UDP",                             0, true,  false, 4440,  480,  735,  255,  6},

    {"lblt1",           L, "frmReqHeader",  "Com ID",                          0, true,  false,  240,  240,  525,  195,  7},
    {"txtReqComId",     T, "frmReqHeader",  frame::kDefaultComIdText,         10, true,  false, 1200,  240, 1500,  300, 36},
    {"lblt2",           L, "frmReqHeader",  "Source",                          0, true,  false,  240,  600,  510,  195,  8},
    {"txtReqSrc",       T, "frmReqHeader",  frame::kDefaultSrcText,           2, true,  false, 1200,  600, 1500,  300, 37},
    {"lblt3",           L, "frmReqHeader",  "Invoke ID",                       0, true,  false,  240,  960,  705,  195,  9},
    {"txtReqInvokeId",  T, "frmReqHeader",  frame::kDefaultInvokeIdText,      4, true,  false, 1200,  960, 1500,  300, 12},
    {"lblt4",           L, "frmReqHeader",  "Length",                          0, true,  false,  240, 1320,  495,  195, 10},
    {"txtReqLength",    T, "frmReqHeader",  "",                                4, true,  false, 1200, 1320, 1500,  300, 38},
    {"lblt5",           L, "frmReqHeader",  "CheckSum",                        0, true,  false,  240, 1680,  780,  195, 11},
    {"txtReqCheckSum",  T, "frmReqHeader",  "",                                2, true,  false, 1200, 1680, 1500,  300, 39},

    {"Label13",         L, "Frame2",        "Com ID",                          0, true,  false,  240,  240,  525,  195, 49},
    {"txtResComId",     T, "Frame2",        "",                                0, false, false, 1200,  240, 1500,  300, 45},
    {"Label12",         L, "Frame2",        "Source",                          0, true,  false,  240,  600,  510,  195, 48},
    {"txtResSrc",       T, "Frame2",        "",                                0, false, false, 1200,  600, 1500,  300, 44},
    {"Label14",         L, "Frame2",        "Invoke ID",                       0, true,  false,  240,  960,  705,  195, 50},
    {"txtResInvokeId",  T, "Frame2",        "",                                0, false, false, 1200,  960, 1500,  300, 46},
    {"Label11",         L, "Frame2",        "Length",                          0, true,  false,  240, 1320,  495,  195, 47},
    {"txtResLength",    T, "Frame2",        "",                                0, false, false, 1200, 1320, 1500,  300, 43},
    {"Label15",         L, "Frame2",        "Check Sum",                       0, true,  false,  240, 1680,  825,  195, 51},
    {"txtResCheckSum",  T, "Frame2",        "",                                0, false, false, 1200, 1680, 1500,  300, 42},

    {"Label2",          L, "Frame3",        "Command",                         0, true,  false,  240,  360,  705,  195, 14},
    {"txtReqCmnd",      T, "Frame3",        frame::kDefaultCmndText,          4, true,  false, 1080,  360,  600,  300, 17},
    {"Label3",          L, "Frame3",        "Data Type",                       0, true,  false, 1920,  360,  750,  195, 15},
    {"txtReqDataType",  T, "Frame3",        frame::kDefaultDataTypeText,      4, true,  false, 2760,  360,  600,  300, 18},
    {"Label4",          L, "Frame3",        "Var No",                          0, true,  false, 3600,  360,  495,  195, 16},
    {"txtReqVarNo",     T, "Frame3",        frame::kDefaultVarNoText,         4, true,  false, 4200,  360,  600,  300, 19},
    {"Label5",          L, "Frame3",        "Data (from \"Variable Length\")", 0, true,  false,  240,  840, 2085,  195, 21},
    {"txtReqData",      T, "Frame3",        frame::kDefaultDataText,          0, true,  false,  240, 1080, 5895,  300, 20},

    {"Label6",          L, "Frame1",        "Command",                         0, true,  false,  240,  360,  705,  195, 23},
    {"txtResCmnd",      T, "Frame1",        "",                                0, true,  false, 1080,  360,  600,  300, 24},
    {"Label7",          L, "Frame1",        "Data Type",                       0, true,  false, 1920,  360,  750,  195, 25},
    {"txtResDataType",  T, "Frame1",        "",                                0, true,  false, 2760,  360,  600,  300, 27},
    {"Label8",          L, "Frame1",        "State",                           0, true,  false, 3600,  360,  375,  195, 26},
    {"txtResState",     T, "Frame1",        "",                                0, true,  false, 4080,  360,  600,  300, 28},
    {"Label9",          L, "Frame1",        "Code/No",                         0, true,  false, 4800,  360,  660,  195, 29},
    {"txtResCode",      T, "Frame1",        "",                                0, true,  false, 5520,  360,  600,  300, 30},
    {"Label10",         L, "Frame1",        "Data",                            0, true,  false,  240,  720,  345,  195, 31},
    {"txtResData",      T, "Frame1",        "",                                0, true,  false,  240,  960, 5895,  300, 32},

    {"Label19",         L, W,               "Response Time",                   0, true,  false,  240, 6480, 1110,  195, 58},
    {"txtResTime",      T, W,               "",                                0, true,  false, 1440, 6480,  855,  285, 54},
    {"Label18",         L, W,               "(msec)",                          0, true,  false, 2400, 6480,  465,  195, 57},
    {"Label17",         L, W,               "Min",                             0, true,  false, 3000, 6480,  255,  195, 56},
    {"txtMinTime",      T, W,               "",                                0, true,  false, 3360, 6480,  855,  285, 53},
    {"Label16",         L, W,               "Max",                             0, true,  false, 4320, 6480,  300,  195, 55},
    {"txtMaxTime",      T, W,               "",                                0, true,  false, 4680, 6480,  855,  285, 52},

    {"cmdConnect",      B, W,               "Connect",                         0, true,  false,  240, kButtonTop, kButtonWidth, kButtonHeight, 33},
    {"cmdSend",         B, W,               "Send",                            0, false, false, 1560, kButtonTop, kButtonWidth, kButtonHeight, 34},
    {"cmdCont",         B, W,               "Cont",                            0, false, false, 2880, kButtonTop, kButtonWidth, kButtonHeight, 35},
    {"cmdClose",        B, W,               "Close",                           0, true,  false, 4200, kButtonTop, kButtonWidth, kButtonHeight, 40},
}};

const std::array<AccessibleName, 23> kAccessibleNames = {{
    {"txtIpAdd",       "Remote IP Address"},
    {"txtReqComId",    "Request Com ID"},      {"txtReqSrc",      "Request Source"},
    {"txtReqInvokeId", "Request Invoke ID"},   {"txtReqLength",   "Request Length"},
    {"txtReqCheckSum", "Request Check Sum"},   {"txtResComId",    "Response Com ID"},
    {"txtResSrc",      "Response Source"},     {"txtResInvokeId", "Response Invoke ID"},
    {"txtResLength",   "Response Length"},     {"txtResCheckSum", "Response Check Sum"},
    {"txtReqCmnd",     "Request Command"},     {"txtReqDataType", "Request Data Type"},
    {"txtReqVarNo",    "Request Var No"},      {"txtReqData",     "Request Data"},
    {"txtResCmnd",     "Response Command"},    {"txtResDataType", "Response Data Type"},
    {"txtResState",    "Response State"},      {"txtResCode",     "Response Code/No"},
    {"txtResData",     "Response Data"},       {"txtResTime",     "Response Time"},
    {"txtMinTime",     "Min Response Time"},   {"txtMaxTime",     "Max Response Time"},
}};
// clang-format on

} // namespace form
