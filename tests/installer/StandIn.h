#pragma once
// A running stand-in for the main program (StandInProgram.cpp), copied under a chosen file name into a
// folder of its own and started; terminated and removed with its folder when the object goes.
#include <windows.h>

#include <memory>
#include <string>

#include "TempDir.h"

// The folder of the running test program, where the build puts the stand-in, the installer library copy
// and the peer package.
std::wstring TestBinaryFolder();

class StandIn {
public:
    enum Kind {
        kWindow,  // a window titled "Corvane Pellumar" that ends with exit code 0 on the close message
        kDeaf,    // no window: never answers
    };
    StandIn(const wchar_t* fileName, Kind kind);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // True once the program runs and has said it is ready.
    bool IsStarted() const { return m_started; }
    DWORD ProcessId() const { return m_processId; }
    // Waits up to ms for the program to end; true when it has.
    bool WaitForEnd(DWORD ms) const;
    // STILL_ACTIVE while it runs; 0 after the close message; 0xFFFFFFFF after termination.
    DWORD ExitCode() const;
    const std::wstring& Path() const { return m_path; }

private:
    // One copy and start; true once the program said it is ready (m_process is set whenever it ran).
    bool Start(Kind kind);

    std::unique_ptr<TempDir> m_folder;
    std::wstring m_path;
    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
    bool m_started = false;
};
