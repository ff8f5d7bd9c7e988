// The library's traces, in the order of the default trace table.
#pragma once

#include "modules/TTraceRegistry.h"

extern TTraceDescriptor g_trcAsyncMOChannel;
extern TTraceDescriptor g_trcChannelBuilder;
extern TTraceDescriptor g_trcWinsock;
extern TTraceDescriptor g_trcMulticastAsync;
extern TTraceDescriptor g_trcIGMPv3;
extern TTraceDescriptor g_trcUdpChannelAsync;
extern TTraceDescriptor g_trcStreamChannel;
extern TTraceDescriptor g_trcSyncMOChannel;
extern TTraceDescriptor g_trcMulticastSocket;
extern TTraceDescriptor g_trcWinsockAsyncWatchdog;
extern TTraceDescriptor g_trcConnectAsyncThread;
extern TTraceDescriptor g_trcMutex;
extern TTraceDescriptor g_trcSemaphore;
extern TTraceDescriptor g_trcRendVousEx;
extern TTraceDescriptor g_trcTimerMgrEx;
extern TTraceDescriptor g_trcActiveObjDeluxe;
extern TTraceDescriptor g_trcDebug;
extern TTraceDescriptor g_trcUserPrivilege;
extern TTraceDescriptor g_trcNew;
extern TTraceDescriptor g_trcActiveObj;
extern TTraceDescriptor g_trcTtcpServer;
extern TTraceDescriptor g_trcLogFile;
extern TTraceDescriptor g_trcException;
