#pragma once
// Helpers of the update tests: a feed text, the WinINet seam that sends the feed's port-80 connection to
// the test server, and running steps inside a dialog's modal loop.
#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>

#include "DialogTestUtil.h"
#include "ImportPatch.h"

namespace updtest {

// A feed offering version with the download address url and the feature lines.
std::string FeedText(const std::string& version, const std::string& url,
                     const std::vector<std::string>& features = {});

// The checker always connects to port 80; the feed tests serve it from a port of their own. While the
// object lives, InternetConnectW to port 80 goes to 127.0.0.1:port instead (whatever host was named),
// and the handles InternetConnectW and HttpOpenRequestW hand out are counted against their closes.
class RedirectPort80 {
public:
    explicit RedirectPort80(USHORT port);
    ~RedirectPort80();
    bool IsActive() const;
    // Handles handed out, and whether each was closed exactly once.
    int Opened() const;
    bool EachClosedOnce() const;
    // The port the checker asked for last.
    INTERNET_PORT RequestedPort() const;
};

// Runs action from the running modal loop once pred() holds (polled every 20 ms, for at most timeoutMs;
// then onTimeout runs instead, if given).
void RunWhen(std::function<bool()> pred, std::function<void()> action, DWORD timeoutMs = 10000,
             std::function<void()> onTimeout = nullptr);

}
