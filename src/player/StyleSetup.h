#pragma once
class CKvSeq;

// Sends the set-up events of the current style (its part 0, transformed like
// any style event) and the channel defaults the style leaves unset.
void sendStyleSetup(CKvSeq& engine);
