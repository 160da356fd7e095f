#pragma once
// Placeholder until the mail hand-off lands.
