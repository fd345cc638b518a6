// Capture start and stop on the camera: per-format set-up, bridge and sensor
// bring-up, defect-list upload, and the hand-over to the automatic controls,
// the tone tables and the stored image controls.
#pragma once

#include "../core/camera_context.h"

// Programs the camera and starts its stream, once per start (a second start
// without a stop does nothing). Failed transfers are ignored; always
// STATUS_SUCCESS.
NTSTATUS StartCameraHardware(CameraContext* Context);

// Stops the stream if the hardware was started; always STATUS_SUCCESS.
NTSTATUS StopCameraHardware(CameraContext* Context);

void ProgramCaptureMode(CameraContext* Context);
void InitialiseSensor(CameraContext* Context);
void UploadDefectTable(CameraContext* Context, const DpcTable* Table);
