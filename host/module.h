// The module's registration with the host and its filter callbacks.
#pragma once
#include "host/abi.h"

// The module instance handle taken at registration: the resource module the
// settings dialog is loaded from. Null until a module record supplied one.
void* NRResourceModule();

// The filter definition handed to the host (never changed after load).
const FilterDefinition* NRFilterDefinition();

int NRInitCallback(FilterActivation* fa, const FilterFunctions* ff);
void NRDeinitCallback(FilterActivation* fa, const FilterFunctions* ff);
long NRParamCallback(FilterActivation* fa, const FilterFunctions* ff);
int NRStartCallback(FilterActivation* fa, const FilterFunctions* ff);
int NREndCallback(FilterActivation* fa, const FilterFunctions* ff);
int NRConfigCallback(FilterActivation* fa, const FilterFunctions* ff, FilterWindow parent);
