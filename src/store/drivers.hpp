// The three drivers behind store::driver, one per database client.
#pragma once

#include <memory>
#include <string_view>

#include "store/driver.hpp"
#include "store/url.hpp"

namespace vorel::store::drivers {

Result<std::shared_ptr<const Driver>> postgres(std::string_view url);
Result<std::shared_ptr<const Driver>> mariadb(const url::Parts& url);
Result<std::shared_ptr<const Driver>> sqlite(std::string_view url);

}  // namespace vorel::store::drivers
