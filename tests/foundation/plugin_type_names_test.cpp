// The file type that the plug-in describes: the static type name and the
// host-heap copies of name and extension.
#include <gtest/gtest.h>

#include <cstring>

#include "heap_balance.h"
#include "plugin_library.h"

namespace {

class PluginTypeNames : public HeapBalance {
protected:
    void SetUp() override {
        HeapBalance::SetUp();
        ASSERT_TRUE(plugin_.loaded()) << plugin_.error();
    }
    const PluginEntryPoints& plugin() const { return plugin_.entry(); }

private:
    PluginLibrary plugin_{AVI_PLUGIN_PATH};
};

TEST_F(PluginTypeNames, TypeNameIsOneStaticTextThatAllocatesNothing) {
    const char* first = plugin().getTypeName();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "Microsoft AVI");
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(plugin().getTypeName(), first);
    }
    EXPECT_EQ(newBlocks(), 0);
}

TEST_F(PluginTypeNames, TypeNameStaysTheSameAroundFileTypeCopies) {
    const char* before = plugin().getTypeName();
    char* name = nullptr;
    char* extension = nullptr;
    plugin().getInterfaceFileTypeDef(&name, &extension);
    EXPECT_NE(name, before) << "the definition hands out a copy, not the static text";
    jmsc_HeapFree(name);
    jmsc_HeapFree(extension);
    EXPECT_EQ(plugin().getTypeName(), before);
    EXPECT_STREQ(before, "Microsoft AVI");
}

TEST_F(PluginTypeNames, FileTypeDefinitionHandsOutTwoHostHeapCopies) {
    char* name = nullptr;
    char* extension = nullptr;
    plugin().getInterfaceFileTypeDef(&name, &extension);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(extension, nullptr);
    EXPECT_STREQ(name, "Microsoft AVI");
    EXPECT_STREQ(extension, "avi");
    EXPECT_EQ(newBlocks(), 2);
    EXPECT_EQ(newBytes(), static_cast<int64_t>(sizeof "Microsoft AVI" + sizeof "avi"));
    jmsc_HeapFree(name);
    jmsc_HeapFree(extension);
    EXPECT_EQ(newBlocks(), 0);
}

TEST_F(PluginTypeNames, EachCallMakesNewCopiesAndLeavesEarlierOnesAlone) {
    char* firstName = nullptr;
    char* firstExtension = nullptr;
    plugin().getInterfaceFileTypeDef(&firstName, &firstExtension);
    char* secondName = nullptr;
    char* secondExtension = nullptr;
    plugin().getInterfaceFileTypeDef(&secondName, &secondExtension);
    ASSERT_NE(secondName, nullptr);
    ASSERT_NE(secondExtension, nullptr);
    EXPECT_NE(secondName, firstName);
    EXPECT_NE(secondExtension, firstExtension);
    EXPECT_EQ(newBlocks(), 4);

    // The host owns its copies and may change or free them.
    std::memcpy(secondName, "Changed", sizeof "Changed");
    secondExtension[0] = 'X';
    EXPECT_STREQ(firstName, "Microsoft AVI");
    EXPECT_STREQ(firstExtension, "avi");
    jmsc_HeapFree(secondName);
    jmsc_HeapFree(secondExtension);
    EXPECT_STREQ(firstName, "Microsoft AVI");
    EXPECT_STREQ(firstExtension, "avi");
    EXPECT_STREQ(plugin().getTypeName(), "Microsoft AVI") << "the static text is not shared";
    jmsc_HeapFree(firstName);
    jmsc_HeapFree(firstExtension);
}

TEST_F(PluginTypeNames, NameIsCopiedBeforeTheExtension) {
    // Let the first copy succeed and the second fail: only the name arrives.
    jmsc_HeapFailAfter(1);
    char* name = nullptr;
    char* extension = reinterpret_cast<char*>(&name);  // anything but null
    plugin().getInterfaceFileTypeDef(&name, &extension);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Microsoft AVI");
    EXPECT_EQ(extension, nullptr);
    jmsc_HeapFree(name);
}

}  // namespace
