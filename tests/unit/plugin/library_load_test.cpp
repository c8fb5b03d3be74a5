// Loads the plug-in as the host does: dlopen, the C factory, Init, delete.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "plugin/GoogleCloudInfoFactory.h"
#include "plugin/host/ArVMDetect.h"

TEST(LibraryLoad, FactoryCreatesAnObjectThatInitsWithoutAMetadataServer) {
    void* lib = dlopen(GCE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateGoogleCloudInfoObjectFn>(dlsym(lib, "CreateGoogleCloudInfoObject"));
    ASSERT_NE(create, nullptr);
    // Nothing else is exported.
    EXPECT_EQ(dlsym(lib, "_ZN16CGoogleCloudInfo4InitEm"), nullptr);

    // A closed loopback port stands for "no metadata server here".
    ArVMDetect::SetMetadataUrl("http://127.0.0.1:1");
    IVMInfo* obj = nullptr;
    ASSERT_EQ(create(VS_INSTANCE_GOOGLE_CLOUD, &obj), 1);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->Init(0), 1);
    EXPECT_EQ(obj->Disconnect(), 0);
    delete obj;
    ArVMDetect::SetMetadataUrl("");
    dlclose(lib);
}
