// Identifiers of the settings dialog, shared by the resource script and the
// dialog procedure (plain #defines: windres reads this file too).
#pragma once

#define IDD_QUELMAR_CONFIG 101

#define IDC_AUTO_PROFILE 1200
#define IDC_PREVIEW 1201
#define IDC_SHOW_FILTERED 1202
#define IDC_SIGMA_TEXT 1006
#define IDC_RESET 1300

// Trackbar 1100 + i pairs with edit box 1007 + i, i = 0..4 in the order
// denoise, temporal, deblock, sharpen, stabilize.
#define IDC_DENOISE_SLIDER 1100
#define IDC_TEMPORAL_SLIDER 1101
#define IDC_DEBLOCK_SLIDER 1102
#define IDC_SHARPEN_SLIDER 1103
#define IDC_STABILIZE_SLIDER 1104
#define IDC_DENOISE_EDIT 1007
#define IDC_TEMPORAL_EDIT 1008
#define IDC_DEBLOCK_EDIT 1009
#define IDC_SHARPEN_EDIT 1010
#define IDC_STABILIZE_EDIT 1011

#define IDT_SIGMA_REFRESH 1
#define SIGMA_REFRESH_MS 250
