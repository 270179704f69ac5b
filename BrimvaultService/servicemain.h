// The Windows service: its main function, control handler and the launch of the core.
#pragma once

#include <windows.h>
#include <winsvc.h>

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);
DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// A primary token of this process re-targeted to the session, or null.
HANDLE createSessionToken(DWORD sessionId);
// An initialised attribute list on the process heap, or null.
LPPROC_THREAD_ATTRIBUTE_LIST createAttributeList(DWORD attributeCount);
// Starts this program with "--terminate <pid>" under the token; true when it ran to its end with exit code 0.
bool runTerminateHelper(HANDLE token, DWORD pid);

// Connected directly to the hub's quitSig: asks ServiceMain to end the core.
void quitSigSlot();

// Disconnects quitSig and closes the event handles. Called by main once no other thread can use them.
void releaseServiceHandles();
