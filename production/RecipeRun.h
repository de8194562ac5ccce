// What a recipe's run needs beside the loop, made ready before any port
// opens, for every front end (qmb-cli's loop, qmb-station): in production
// mode the recipe's release (asked of the record database itself, never its
// spool) and its quota; the serial numbers' source, with every pool of the
// recipe there and not empty; the settlement of this station's earlier,
// killed run.
//
// Threads: PrepareRecipeRun on one thread (it may wait for the database,
// within the store's time limits); the run's gate and source are then
// shared by the slots (their own headers say how).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "production/BoardRecord.h"
#include "production/Recipe.h"
#include "production/Release.h"
#include "production/SerialSource.h"

namespace qmb::production {

// Why a recipe cannot run. what() is one line, fit to end a program with.
class RecipeFault : public std::runtime_error {
  public:
    enum class Kind {
        kUsage,        // the settings cannot run it (no database where one is needed)
        kNotReleased,  // production mode and an identity not released for the product
        kNoSerial,     // a pool of the recipe is missing or empty
        kStore,        // the database cannot be asked
    };
    RecipeFault(Kind kind, const std::string& why) : std::runtime_error(why), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// A recipe's run. Closing it (the destructor) gives the lease's unused
// values back: it must outlive every slot that uses its source.
struct RecipeRun {
    std::unique_ptr<store::RecordStore> direct;  // the database the release and quota are asked of
    std::optional<store::Release> release;       // production mode: the release found
    std::unique_ptr<QuotaGate> quota;            // the release's quota; none without one
    std::unique_ptr<SerialSource> serials;       // none without serial fields

    RecipeRun() = default;
    RecipeRun(RecipeRun&&) = default;
    RecipeRun& operator=(RecipeRun&&) = default;
    ~RecipeRun();
};

// Prepares recipe's run for context (its mode and station name). db: the
// record database's URL, opened again here so that the release is asked of
// the database itself; records: the run's own store (the spool in front of
// a server), nullptr when records are kept nowhere. say gets the lines an
// operator should read (the release found, engineering mode, what was
// settled of an earlier run). Throws RecipeFault, run then holding what was
// found so far (the release).
void PrepareRecipeRun(RecipeRun& run, const LoadedRecipe& recipe, const std::string& db,
                      store::RecordStore* records, const RecordContext& context,
                      const std::function<void(const std::string&)>& say);

}  // namespace qmb::production
