// A test fixture with the serial link open on a pseudo-terminal: the front
// end's port is the device side, the test plays the box on the master.
#pragma once

#include <gtest/gtest.h>

#include "download/download.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_front_end.h"

class PtyLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.Ok());
        g_bStopThread = 0;
        ASSERT_EQ(SerialOpen(&front.hComm, m_pty.Path().c_str()), 0);
    }
    void TearDown() override {
        g_bStopThread = 1;
        SerialClose(front.hComm);
    }
    LinkContext Link() { return LinkContext{front, SerialDefaultLink(), front.hComm, SerialOpenGeneration()}; }

    PtyPair m_pty;
    RecordingFrontEnd front;
};
