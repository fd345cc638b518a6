// The OLE umbrella header: COM's basics and automation's strings and type
// libraries.
#pragma once

#include "objbase.h"
#include "oleauto.h"
