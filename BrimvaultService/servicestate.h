// State shared by the service main function, the control handler and main.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <QMetaObject>

#include <atomic>
#include <mutex>

inline constexpr char kServerRegKey[] = "SOFTWARE\\Orlenta\\Brimvault\\server";
inline constexpr char kExitCodeValueName[] = "exitCode";

extern SERVICE_STATUS_HANDLE g_statusHandle;
// Written by ServiceMain and HandlerEx on different threads: change it and report it under g_statusMutex only.
extern SERVICE_STATUS g_serviceStatus;
extern std::mutex g_statusMutex;

// Null until ServiceMain creates them; main closes them after ServiceThread has been joined.
extern HANDLE g_stopEvent;
extern HANDLE g_sessionEvent;
extern HANDLE g_quitEvent;
extern QMetaObject::Connection g_quitConnection;

// Set by ServiceMain after a logoff exit of the core, cleared by HandlerEx on a console connect.
extern std::atomic<int> g_loggedOff;
