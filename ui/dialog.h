// The modal settings dialog (Windows builds only; Linux has no dialog and the
// config callback never calls this).
#pragma once

struct FilterActivation;
struct NRFilterData;

// Runs the dialog (resource 101) for the instance until OK or Cancel closes it.
// parentWindow is the host's HWND for the config callback.
void NRRunConfigDialog(FilterActivation* fa, NRFilterData* fd, void* parentWindow);
