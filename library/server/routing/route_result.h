// Server stack: what routing a complete request reports to the layer that
// handed it over (the request sink's result): 0 not answered, 1 answered,
// or kAnswerPending - the answer comes later through the request's answer
// sink, on the connection's loop, and the layer writes nothing meanwhile.
#pragma once

inline constexpr int kAnswerPending = 2;
