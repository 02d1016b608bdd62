#pragma once

namespace kavo {

// Marks the errors that mean the user must sign in again before any upload can go on.
// The sign-in service's errors derive from it (beside kavo::Error); uploads catch it to
// stop retrying and ask for a new sign-in.
class InteractiveSignInRequiredError {
public:
    virtual ~InteractiveSignInRequiredError() = default;
};

}  // namespace kavo
