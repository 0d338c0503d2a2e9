// The registered window messages, in the order of their registration.
#include "app/RegisteredMessages.h"

#include "libcommon/ProductNames.h"

const UINT g_uMsgShowMainWindow = RegisterWindowMessageW(kShowMainWindowMessageName);
const UINT g_uMsgCloseApp = RegisterWindowMessageW(kCloseAppMessageName);
const UINT g_uMsgTrayNotify = RegisterWindowMessageW(kTrayNotifyMessageName);
