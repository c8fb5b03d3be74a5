// Shared helpers of the inventory unit tests: a plug-in object around a mock
// bridge, with the protected inventory helpers opened up.
#pragma once

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "plugin/GoogleCloudInfo.h"
#include "tests/support/MockBridge.h"

class TestableCloudInfo : public CGoogleCloudInfo {
  public:
    explicit TestableCloudInfo(MockBridge* bridge) : CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, bridge) {}
    using CGoogleCloudInfo::_EncodeEntityAsUuid;
    using CGoogleCloudInfo::_RefreshHostInfoCache;
    using CGoogleCloudInfo::_RefreshProjectInfoCache;
    std::vector<VMInfoStructs::SHostInfo>& HostCache() { return m_vecHostInfoCache; }
    std::vector<VMInfoStructs::SProjectInfo>& ProjectCache() { return m_projectInfoCache; }
};

// Fixture: `bridge` is owned by `info`. Strict by default so that an
// unexpected cloud call fails the test.
template <template <class> class Strictness = ::testing::StrictMock>
class InventoryFixture : public ::testing::Test {
  protected:
    Strictness<MockBridge>* bridge = new Strictness<MockBridge>();
    TestableCloudInfo info{bridge};
};

inline VMInfoStructs::SProjectInfo Project(const std::string& id, const std::string& name = "") {
    VMInfoStructs::SProjectInfo p;
    p.strGuid = id;
    p.strName = name.empty() ? id : name;
    return p;
}

inline VMInfoStructs::SVMInfo Vm(const std::string& name, const std::string& guid = "") {
    VMInfoStructs::SVMInfo vm;
    vm.strName = name;
    vm.strGuid = guid.empty() ? "id-" + name : guid;
    return vm;
}

inline VMInfoStructs::SHostInfo Zone(const std::string& name) {
    VMInfoStructs::SHostInfo z;
    z.strName = name;
    z.strGuid = name;
    return z;
}

inline std::vector<std::string> Names(const std::vector<VMInfoStructs::SInventoryInfo>& list) {
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(e.strName);
    return out;
}

// A selected node as the host passes it: the view node, with the chosen path
// below it as a chain of first children; the last one carries `guid`.
inline VMInfoStructs::SInventoryInfo SelectedChain(const std::vector<std::string>& guids) {
    VMInfoStructs::SInventoryInfo root;
    root.strName = "root";
    root.strGuid = "root-guid";
    VMInfoStructs::SInventoryInfo* node = &root;
    for (const auto& g : guids) {
        VMInfoStructs::SInventoryInfo child;
        child.strName = "node-" + g;
        child.strGuid = g;
        node->vecChildren.push_back(child);
        // A sibling that must never be followed.
        VMInfoStructs::SInventoryInfo decoy;
        decoy.strGuid = "decoy";
        node->vecChildren.push_back(decoy);
        node = &node->vecChildren.front();
    }
    return root;
}
