/* The data folder value as every reader of it takes it. */
#include "util/data-folder.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

TEST(DataFolder, AbsoluteFoldersOnlyAndNeverTheRoot)
{
    const std::string longest = "/" + std::string(250, 'd');
    const std::string longest_slashed = longest + "///";
    const std::string too_long = longest + "d";
    const struct {
        const char *value;
        data_folder_fault_t fault;
        const char *folder;
    } cases[] = {
        {nullptr, DATA_FOLDER_EMPTY, nullptr},
        {"", DATA_FOLDER_EMPTY, nullptr},
        {"/", DATA_FOLDER_ROOT, nullptr},
        {"//", DATA_FOLDER_ROOT, nullptr},
        {"/\\", DATA_FOLDER_ROOT, nullptr},
        {"data", DATA_FOLDER_RELATIVE, nullptr},
        {"./data/", DATA_FOLDER_RELATIVE, nullptr},
        {"\\data", DATA_FOLDER_RELATIVE, nullptr},
        {"/data", DATA_FOLDER_VALID, "/data"},
        {"/.", DATA_FOLDER_DOT_COMPONENT, nullptr},
        {"/..", DATA_FOLDER_DOT_COMPONENT, nullptr},
        {"/var/hv/../..", DATA_FOLDER_DOT_COMPONENT, nullptr},
        {"/var/./hv", DATA_FOLDER_DOT_COMPONENT, nullptr},
        {"/var/hv..", DATA_FOLDER_VALID, "/var/hv.."},
        {"/.hv", DATA_FOLDER_VALID, "/.hv"},
        {"/var/hv//", DATA_FOLDER_VALID, "/var/hv"},
        {"/var/hv\\", DATA_FOLDER_VALID, "/var/hv"},
        {longest.c_str(), DATA_FOLDER_VALID, longest.c_str()},
        {longest_slashed.c_str(), DATA_FOLDER_VALID, longest.c_str()},
        {too_long.c_str(), DATA_FOLDER_TOO_LONG, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(null)");
        char *folder = nullptr;
        EXPECT_EQ(data_folder_check(c.value, &folder), c.fault) << data_folder_fault_text(c.fault);
        EXPECT_STREQ(folder, c.folder);
        g_free(folder);
    }
    EXPECT_EQ(data_folder_check("/data", nullptr), DATA_FOLDER_VALID);
}
