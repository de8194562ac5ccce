// recipe check FILE: a recipe, the files it names and its identity.
#include "cli/Commands.h"
#include "production/Recipe.h"

namespace qmb::cli {

using nlohmann::json;

production::LoadedRecipe LoadRecipeOrThrow(const std::string& path) {
    try {
        return production::LoadRecipe(path);
    } catch (const production::RecipeError& e) {
        throw CliError(e.Unreadable() ? kExitFile : kExitData, e.what());
    }
}

namespace {
struct RecipeOptions {
    std::string file;
};

int RunRecipeCheck(Context& c, const RecipeOptions& o) {
    const production::LoadedRecipe loaded = LoadRecipeOrThrow(o.file);
    const production::Recipe& r = loaded.recipe;
    std::vector<int> numbers;
    for (const auto& s : loaded.image)
        numbers.push_back(s.number);
    json fields = json::array();
    std::string text = "product: " + r.product + "\n";
    text += "image: " + (r.image.empty() ? r.data : r.image) + ", sections " +
            FormatSectionList(numbers) + " (" + std::to_string(loaded.imageLength) + " bytes)\n";
    for (const auto& f : r.serials) {
        fields.push_back({{"pool", f.pool},
                          {"section", f.section},
                          {"offset", f.offset},
                          {"layout", f.format.Name()}});
        text += "serial: " + f.Describe() + "\n";
    }
    if (!r.serials.empty())
        text += std::string("keep-existing: ") + (r.keepExisting ? "yes" : "no") +
                ", lease: " + std::to_string(r.lease) + "\n";
    text += "identity: " + loaded.identity + "\n";
    auto& result = c.out->Result();
    result["product"] = r.product;
    result["sections"] = numbers;
    result["image_length"] = loaded.imageLength;
    result["serials"] = fields;
    result["keep_existing"] = r.keepExisting;
    result["lease"] = r.lease;
    result["identity"] = loaded.identity;
    c.out->Data(text);
    return kExitOk;
}
}  // namespace

void AddRecipeCommand(CLI::App& app, Context& c) {
    auto* recipe = app.add_subcommand(
        "recipe", "a recipe: what each board of a product gets (image, serial fields), and "
                  "which recipes a production line may run");
    recipe->require_subcommand(1);
    auto o = std::make_shared<RecipeOptions>();
    auto* check = recipe->add_subcommand(
        "check", "check a recipe and the files it names (sizes, fields inside their sections, "
                 "no overlap) and print its identity: one SHA-256 over all of them");
    check->add_option("FILE", o->file, "the recipe")->required();
    WhenChosen(check, c, o, RunRecipeCheck);
}

}  // namespace qmb::cli
