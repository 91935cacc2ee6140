// The entity's table of property names (looked up on every key-value access)
// against the ordered map of the same names: every name found, near misses
// not, on models with names of every length and ones sharing their ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "CoreDataTestSupport.h"

namespace plat::coredata::testing {
namespace {

// Names that differ from `name` by one character, one character more or
// less, or a change in the middle only.
std::vector<std::string> nearMisses(const std::string& name) {
    std::vector<std::string> out;
    out.push_back(name + "x");
    out.push_back("x" + name);
    if (!name.empty()) {
        out.push_back(name.substr(0, name.size() - 1));
        out.push_back(name.substr(1));
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::string changed = name;
        changed[i] = static_cast<char>(changed[i] == 'q' ? 'r' : 'q');
        out.push_back(changed);
    }
    out.push_back(std::string(name.size(), '\0'));
    return out;
}

// The map's answer, which the table must give.
const PropertyDescription* byMap(const EntityDescription& entity, const std::string& name) {
    auto found = entity.propertiesByName().find(name);
    return found == entity.propertiesByName().end() ? nullptr : found->second;
}

void expectTableMatchesMap(const ManagedObjectModel& model) {
    for (const auto& entity : model.entities()) {
        const std::string& entityName = entity->name();
        for (const auto& [name, property] : entity->propertiesByName()) {
            EXPECT_EQ(entity->propertyNamed(name), property) << entityName << "." << name;
            // A view into a longer text (no terminating zero after the name).
            const std::string padded = name + "\x01tail";
            EXPECT_EQ(entity->propertyNamed(std::string_view(padded).substr(0, name.size())), property);
            for (const std::string& miss : nearMisses(name))
                EXPECT_EQ(entity->propertyNamed(miss), byMap(*entity, miss)) << entityName << "." << miss;
        }
        EXPECT_EQ(entity->propertyNamed(""), byMap(*entity, ""));
        EXPECT_EQ(entity->propertyNamed("noSuchProperty"), nullptr);
    }
}

TEST(PropertyNameTableTest, TheTestModelsNamesAreFoundAndNearMissesAreNot) {
    auto model = makeTestModel();
    ASSERT_EQ(model->finalize(), nullptr);
    expectTableMatchesMap(*model);
    // Inherited properties are found through the sub-entity too.
    const EntityDescription* urgent = model->entityNamed("UrgentTask");
    ASSERT_NE(urgent, nullptr);
    EXPECT_EQ(urgent->propertyNamed("uuid"), model->entityNamed("Item")->propertyNamed("uuid"));
    EXPECT_EQ(urgent->propertyNamed("level")->name(), "level");
}

TEST(PropertyNameTableTest, NamesOfEveryLengthAndSharedEndsAreTold) {
    auto model = ManagedObjectModel::create();
    auto& base = model->addEntity("Base");
    auto& wide = model->addEntity("Wide");
    wide.setSuperentityName("Base");
    // Lengths 1 to 40, names that agree in length, first, middle and last
    // character, and names that are prefixes of one another.
    std::vector<std::string> names;
    for (std::size_t n = 1; n <= 40; ++n)
        names.push_back(std::string(n, 'a'));
    for (char c = 'b'; c <= 'z'; ++c) {
        names.push_back(std::string("k") + c + "mmmmmm" + c + "z");
        names.push_back(std::string("k") + "mmm" + c + "mmmm" + "z");
        names.push_back(std::string("p") + c);
        names.push_back(std::string("longName") + c + "WithAMiddle" + c + "AndAnEnd");
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (std::size_t i = 0; i < names.size(); ++i)
        (i % 3 == 0 ? base : wide).addAttribute(names[i], AttributeType::Integer64);
    auto error = model->finalize();
    ASSERT_EQ(error, nullptr) << error->description();
    expectTableMatchesMap(*model);
    const EntityDescription* w = model->entityNamed("Wide");
    for (const std::string& name : names)
        ASSERT_NE(w->propertyNamed(name), nullptr) << name;
}

TEST(PropertyNameTableTest, RandomNamesAgreeWithTheMap) {
    std::mt19937 random(44);
    for (int round = 0; round < 30; ++round) {
        auto model = ManagedObjectModel::create();
        auto& entity = model->addEntity("E");
        std::vector<std::string> names;
        const int count = 1 + static_cast<int>(random() % 60);
        while (static_cast<int>(names.size()) < count) {
            std::string name(1 + random() % 24, 'a');
            for (char& c : name)
                c = "abcdeXYZ_0"[random() % 10];
            name[0] = static_cast<char>('a' + random() % 3);
            if (std::find(names.begin(), names.end(), name) != names.end())
                continue;
            names.push_back(name);
            entity.addAttribute(name, AttributeType::String);
        }
        ASSERT_EQ(model->finalize(), nullptr);
        expectTableMatchesMap(*model);
        for (int probe = 0; probe < 200; ++probe) {
            std::string name(random() % 26, 'a');
            for (char& c : name)
                c = "abcdeXYZ_0"[random() % 10];
            EXPECT_EQ(model->entityNamed("E")->propertyNamed(name), byMap(*model->entityNamed("E"), name))
                << name;
        }
    }
}

TEST(PropertyNameTableTest, AnEntityWithoutPropertiesFindsNothing) {
    auto model = ManagedObjectModel::create();
    model->addEntity("Empty");
    ASSERT_EQ(model->finalize(), nullptr);
    EXPECT_EQ(model->entityNamed("Empty")->propertyNamed("x"), nullptr);
    EXPECT_EQ(model->entityNamed("Empty")->propertyNamed(""), nullptr);
}

}  // namespace
}  // namespace plat::coredata::testing
