// Moving the vector rows a load keeps in its read buffer onto huge pages.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace dovadure::segment {

// Moves the whole 2 MiB pages inside `rows` onto huge pages, on a thread of
// its own, a few at a time: searches read vector rows at random, and one TLB
// entry per 2 MiB instead of per 4 KiB is worth several percent of their
// speed (tens of percent in virtual machines, whose page walks are nested).
// The rows must not change from now on. `keeper` owns their memory; the
// thread holds it until done and stops early once it is the last holder.
// Advisory: with no huge pages to be had the rows stay where they are.
void move_rows_to_huge_pages_later(std::shared_ptr<const void> keeper,
                                   std::span<const std::byte> rows);

}  // namespace dovadure::segment
