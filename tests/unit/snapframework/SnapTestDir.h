// A private host state directory for one test, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"
#include "plugin/host/SnapFramework.h"

class SnapStateDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/snapfw-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_oldState = HostEnv::GetStateDir();
        HostEnv::SetStateDir(m_dir);
        ArPlatformInfo::ClearOverrides();
        HostEnv::SetJobCancelled(false);
        SetSnapPollIntervalMs(1);
        SetSnapWaitTimeoutSecs(5);
    }
    void TearDown() override {
        HostEnv::SetStateDir(m_oldState);
        ArPlatformInfo::ClearOverrides();
        HostEnv::SetJobCancelled(false);
        SetSnapPollIntervalMs(2000);
        SetSnapWaitTimeoutSecs(0);
        CLuDirectory::RemoveRecursive(m_dir);
    }
    std::string m_dir;
    std::string m_oldState;
};
