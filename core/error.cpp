#include "core/error.hpp"

namespace kivet {

std::string Error::text() const {
  if (!projection_) return text_;
  return cat("(", fixed20(x_), ",", fixed20(y_),
             ") is not a point in the image of the projection");
}

}  // namespace kivet
