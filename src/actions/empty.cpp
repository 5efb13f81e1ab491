// placeholder until the subsystem's first source lands
