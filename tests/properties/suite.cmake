# White-box tests of the property model: options, properties, sets, text form.
corvane_test(properties corvane_internal)
