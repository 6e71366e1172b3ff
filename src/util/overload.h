// One visitor for std::visit out of several lambdas, one per alternative.
#pragma once

namespace nolv {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace nolv
